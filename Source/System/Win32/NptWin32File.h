#pragma once
// Win32 file object over the C runtime's buffered streams (FILE) opened with
// wide-character paths.

#include <stdio.h>

#include "NptFile.h"
#include "NptReferences.h"

// One open C stream, shared by the file object and the streams it hands out.
// The standard streams are never closed.
class NPT_Win32FileHandle {
 public:
  NPT_Win32FileHandle(FILE* file, bool is_standard) : m_File(file), m_IsStandard(is_standard) {}
  ~NPT_Win32FileHandle();
  FILE* GetFile() const { return m_File; }

 private:
  NPT_Win32FileHandle(const NPT_Win32FileHandle&) = delete;
  NPT_Win32FileHandle& operator=(const NPT_Win32FileHandle&) = delete;

  FILE* m_File;
  bool m_IsStandard;
};

typedef NPT_Reference<NPT_Win32FileHandle> NPT_Win32FileReference;

class NPT_Win32File : public NPT_FileInterface {
 public:
  explicit NPT_Win32File(const char* path) : m_Path(path), m_Mode(0) {}
  ~NPT_Win32File() override { Close(); }

  NPT_Result Open(OpenMode mode) override;
  NPT_Result Close() override;
  NPT_Result GetInputStream(NPT_InputStreamReference& stream) override;
  NPT_Result GetOutputStream(NPT_OutputStreamReference& stream) override;

 private:
  NPT_String m_Path;
  OpenMode m_Mode;
  NPT_Win32FileReference m_FileReference;  // null while closed
};
