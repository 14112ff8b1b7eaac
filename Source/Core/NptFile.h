#pragma once
// Files: the file object with its open modes and streams, the static file
// operations (load, save, size, status, rename, remove, directories) and path
// helpers.
//
// NPT_File owns a platform file object and forwards Open, Close and the stream
// getters to it. The streams it hands out share the open runtime-library
// stream: it stays open until the file is closed and the last stream is gone.
// Nothing here locks; one thread uses a file object at a time.
//
// The special paths "@STDIN", "@STDOUT" and "@STDERR" name the process's
// standard streams; closing such a file never closes the standard stream.

#include "NptDataBuffer.h"
#include "NptList.h"
#include "NptResults.h"
#include "NptStreams.h"
#include "NptStrings.h"
#include "NptTime.h"
#include "NptTypes.h"

// Open mode bits.
#define NPT_FILE_OPEN_MODE_READ 0x01
#define NPT_FILE_OPEN_MODE_WRITE 0x02
#define NPT_FILE_OPEN_MODE_CREATE 0x04
#define NPT_FILE_OPEN_MODE_TRUNCATE 0x08
#define NPT_FILE_OPEN_MODE_UNBUFFERED 0x10
#define NPT_FILE_OPEN_MODE_APPEND 0x20

#define NPT_FILE_STANDARD_INPUT "@STDIN"
#define NPT_FILE_STANDARD_OUTPUT "@STDOUT"
#define NPT_FILE_STANDARD_ERROR "@STDERR"

// What a status query learns about a path.
struct NPT_FileInfo {
  enum FileType {
    FILE_TYPE_NONE = 0,
    FILE_TYPE_REGULAR = 1,
    FILE_TYPE_DIRECTORY = 2,
    FILE_TYPE_SPECIAL = 3,
    FILE_TYPE_OTHER = 4
  };
  // Attribute bits; m_AttributesMask tells which bits the platform knows.
  enum {
    FILE_ATTRIBUTE_READ_ONLY = 0x01,
    FILE_ATTRIBUTE_LINK = 0x02
  };

  NPT_FileInfo() : m_Type(FILE_TYPE_NONE), m_Size(0), m_AttributesMask(0), m_Attributes(0) {}

  FileType m_Type;
  NPT_LargeSize m_Size;
  NPT_Flags m_AttributesMask;
  NPT_Flags m_Attributes;
  NPT_TimeStamp m_CreationTime;
  NPT_TimeStamp m_ModificationTime;
};

// Path texts. The separator is the platform's ("/" here); every operation
// below accepts both "/" and "\\" as separators.
class NPT_FilePath {
 public:
  static const char* const Separator;

  // The text after the last separator; when
  // `with_extension` is false, cut at the last "." of that text.
  static NPT_String BaseName(const char* path, bool with_extension = true);
  // The text before the last separator; the separator itself when the only
  // separator is the first character; empty when there is no separator.
  static NPT_String DirName(const char* path);
  // The base name's text from its last "." on, the "." included; empty when
  // the base name has no ".".
  static NPT_String FileExtension(const char* path);
  // `directory` and `base` joined with exactly one separator; an empty part
  // yields the other part.
  static NPT_String Create(const char* directory, const char* base);
};

class NPT_FileInterface {
 public:
  typedef NPT_Flags OpenMode;

  virtual ~NPT_FileInterface() {}
  // NPT_ERROR_FILE_ALREADY_OPEN when open; NPT_ERROR_NO_SUCH_FILE whenever
  // the path cannot be opened in that mode (whatever the OS reason). Mode: no
  // write bit reads an existing file; write+truncate creates or empties;
  // write+create (no truncate) creates or appends; write alone updates an
  // existing file in place. The unbuffered bit switches stream buffering off.
  virtual NPT_Result Open(OpenMode mode) = 0;
  // Releases this object's hold on the stream; streams handed out keep it
  // open until they are gone. Succeeds, also when not open.
  virtual NPT_Result Close() = 0;
  // Reset, then: NPT_ERROR_FILE_NOT_OPEN when not open,
  // NPT_ERROR_FILE_NOT_READABLE without the read bit.
  virtual NPT_Result GetInputStream(NPT_InputStreamReference& stream) = 0;
  // Reset, then: NPT_ERROR_FILE_NOT_OPEN when not open,
  // NPT_ERROR_FILE_NOT_WRITABLE without the write bit.
  virtual NPT_Result GetOutputStream(NPT_OutputStreamReference& stream) = 0;
};

class NPT_File : public NPT_FileInterface {
 public:
  // Static operations. Paths are UTF-8. OS failures are mapped by
  // NPT_File::MapErrno.

  // Regular (or other) file: its size; directory: its number of entries;
  // special name: 0. `size` is reset first.
  static NPT_Result GetSize(const char* path, NPT_LargeSize& size);
  // Trailing separators are ignored. `info` may be null to test existence.
  static NPT_Result GetInfo(const char* path, NPT_FileInfo* info = nullptr);
  static bool Exists(const char* path) { return NPT_SUCCEEDED(GetInfo(path)); }
  // Reads the whole file opened with `mode` (the read bit is implied).
  static NPT_Result Load(const char* path, NPT_DataBuffer& buffer, OpenMode mode = NPT_FILE_OPEN_MODE_READ);
  // As above; `data` is set to the bytes read (emptied on failure).
  static NPT_Result Load(const char* path, NPT_String& data, OpenMode mode = NPT_FILE_OPEN_MODE_READ);
  // Creates or truncates the file and writes all of the data.
  static NPT_Result Save(const char* path, const NPT_String& data);
  static NPT_Result Save(const char* path, const NPT_DataBuffer& buffer);
  // Moves `from` to `to` (replacing an existing file `to`).
  static NPT_Result Rename(const char* from, const char* to);
  // Deletes a file, or removes a directory (with all of its entries when
  // `recursive`; otherwise a non-empty directory gives
  // NPT_ERROR_DIRECTORY_NOT_EMPTY).
  static NPT_Result Remove(const char* path, bool recursive = false);
  // Creates the directory; with `create_parents` first every missing
  // ancestor. A directory that already exists counts as success; an existing
  // non-directory gives NPT_ERROR_FILE_ALREADY_EXISTS.
  static NPT_Result CreateDir(const char* path, bool create_parents = false);
  // The names of the directory's entries, without "." and "..", in the
  // order the OS gives them; from the entry at `start`, at most `count` names
  // (0 = all). `entries` is cleared first.
  static NPT_Result ListDir(const char* path, NPT_List<NPT_String>& entries, NPT_Ordinal start = 0,
                            NPT_Cardinal count = 0);

  // The runtime library's error number as a result: EPERM and EACCES
  // NPT_ERROR_PERMISSION_DENIED, ENOENT NPT_ERROR_NO_SUCH_FILE, EBUSY
  // NPT_ERROR_FILE_BUSY, ENOTDIR NPT_ERROR_FILE_NOT_DIRECTORY, EROFS
  // NPT_ERROR_FILE_NOT_WRITABLE, ENAMETOOLONG NPT_ERROR_INVALID_PARAMETERS,
  // ENOMEM NPT_ERROR_OUT_OF_MEMORY, ENOSPC NPT_ERROR_FILE_NOT_ENOUGH_SPACE,
  // EEXIST NPT_ERROR_FILE_ALREADY_EXISTS, ENOTEMPTY
  // NPT_ERROR_DIRECTORY_NOT_EMPTY; any other number e gives -(22000 + e).
  static NPT_Result MapErrno(int error);

  explicit NPT_File(const char* path);
  ~NPT_File() override;

  // Reads the whole (open, readable) file into `buffer`.
  NPT_Result Load(NPT_DataBuffer& buffer);
  // Writes the buffer's data to the (open, writable) file.
  NPT_Result Save(const NPT_DataBuffer& buffer);
  const NPT_String& GetPath() const { return m_Path; }
  NPT_Result GetSize(NPT_LargeSize& size);
  NPT_Result GetInfo(NPT_FileInfo& info);
  NPT_Result ListDir(NPT_List<NPT_String>& entries);
  // Renames the file and, on success, takes `path` as its path.
  NPT_Result Rename(const char* path);

  NPT_Result Open(OpenMode mode) override { return m_Delegate->Open(mode); }
  NPT_Result Close() override { return m_Delegate->Close(); }
  NPT_Result GetInputStream(NPT_InputStreamReference& stream) override {
    return m_Delegate->GetInputStream(stream);
  }
  NPT_Result GetOutputStream(NPT_OutputStreamReference& stream) override {
    return m_Delegate->GetOutputStream(stream);
  }

 private:
  NPT_File(const NPT_File&) = delete;
  NPT_File& operator=(const NPT_File&) = delete;

  NPT_String m_Path;
  bool m_IsSpecial;
  NPT_FileInterface* m_Delegate;  // owned; created by the platform layer
};
