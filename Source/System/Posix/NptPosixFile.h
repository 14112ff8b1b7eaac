#pragma once
// POSIX file object over the C library's buffered streams (FILE).

#include <stdio.h>

#include "NptFile.h"
#include "NptReferences.h"

// One open C stream, shared by the file object and the streams it hands out.
// The standard streams are never closed.
class NPT_PosixFileHandle {
 public:
  NPT_PosixFileHandle(FILE* file, bool is_standard) : m_File(file), m_IsStandard(is_standard) {}
  ~NPT_PosixFileHandle();
  FILE* GetFile() const { return m_File; }

 private:
  NPT_PosixFileHandle(const NPT_PosixFileHandle&) = delete;
  NPT_PosixFileHandle& operator=(const NPT_PosixFileHandle&) = delete;

  FILE* m_File;
  bool m_IsStandard;
};

typedef NPT_Reference<NPT_PosixFileHandle> NPT_PosixFileReference;

class NPT_PosixFile : public NPT_FileInterface {
 public:
  explicit NPT_PosixFile(const char* path) : m_Path(path), m_Mode(0) {}
  ~NPT_PosixFile() override { Close(); }

  NPT_Result Open(OpenMode mode) override;
  NPT_Result Close() override;
  NPT_Result GetInputStream(NPT_InputStreamReference& stream) override;
  NPT_Result GetOutputStream(NPT_OutputStreamReference& stream) override;

 private:
  NPT_String m_Path;
  OpenMode m_Mode;
  NPT_PosixFileReference m_FileReference;  // null while closed
};
