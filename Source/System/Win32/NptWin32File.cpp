// Win32 file layer: C runtime streams opened by wide path (_wfsopen; a writer
// denies other writers) for file contents; the wide Win32 file API for status,
// rename, delete and directories. Paths arrive as UTF-8.

#include "NptWin32File.h"

#include <windows.h>
#include <errno.h>
#include <share.h>
#include <sys/stat.h>

#include "NptLogging.h"
#include "NptWin32Text.h"

NPT_SET_LOCAL_LOGGER("npt.file")

const char* const NPT_FilePath::Separator = "\\";

NPT_Result NPT_File::MapErrno(int error) {
  switch (error) {
    case EPERM:
    case EACCES:
      return NPT_ERROR_PERMISSION_DENIED;
    case ENOENT:
      return NPT_ERROR_NO_SUCH_FILE;
    case EBUSY:
      return NPT_ERROR_FILE_BUSY;
    case ENOTDIR:
      return NPT_ERROR_FILE_NOT_DIRECTORY;
    case EROFS:
      return NPT_ERROR_FILE_NOT_WRITABLE;
    case ENAMETOOLONG:
      return NPT_ERROR_INVALID_PARAMETERS;
    case ENOMEM:
      return NPT_ERROR_OUT_OF_MEMORY;
    case ENOSPC:
      return NPT_ERROR_FILE_NOT_ENOUGH_SPACE;
    case EEXIST:
      return NPT_ERROR_FILE_ALREADY_EXISTS;
    case ENOTEMPTY:
      return NPT_ERROR_DIRECTORY_NOT_EMPTY;
    default:
      return NPT_ERROR_BASE_ERRNO - error;
  }
}

// The Win32 file API's errors as results.
static NPT_Result MapLastError() {
  const DWORD error = GetLastError();
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
      return NPT_ERROR_NO_SUCH_FILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
      return NPT_ERROR_PERMISSION_DENIED;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return NPT_ERROR_OUT_OF_MEMORY;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      return NPT_ERROR_FILE_BUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return NPT_ERROR_FILE_NOT_ENOUGH_SPACE;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return NPT_ERROR_FILE_ALREADY_EXISTS;
    case ERROR_DIR_NOT_EMPTY:
      return NPT_ERROR_DIRECTORY_NOT_EMPTY;
    case ERROR_DIRECTORY:
      return NPT_ERROR_FILE_NOT_DIRECTORY;
    default:
      return NPT_ERROR_BASE_ERRNO - (NPT_Result)(error & 0xFFFF);
  }
}

static bool IsSpecialName(const NPT_String& path) {
  return path == NPT_FILE_STANDARD_INPUT || path == NPT_FILE_STANDARD_OUTPUT || path == NPT_FILE_STANDARD_ERROR;
}

// A path for the Win32 calls: "/" becomes "\", trailing separators go (a root
// such as "\" or "C:\" keeps its own), and a bare drive "C:" gets one.
static NPT_String NormalizePath(const char* path) {
  NPT_String result(path);
  for (NPT_Size i = 0; i < result.GetLength(); ++i) {
    if (result[static_cast<int>(i)] == '/') result[static_cast<int>(i)] = '\\';
  }
  while (result.GetLength() > 1 && result.GetLast() == '\\' &&
         !(result.GetLength() == 3 && result[1] == ':')) {
    result.SetLength(result.GetLength() - 1);
  }
  if (result.GetLength() == 2 && result[1] == ':') result += "\\";
  return result;
}

NPT_File::NPT_File(const char* path)
    : m_Path(path), m_IsSpecial(IsSpecialName(m_Path)), m_Delegate(new NPT_Win32File(path)) {}

// ---------------------------------------------------------------------------
// Streams

NPT_Win32FileHandle::~NPT_Win32FileHandle() {
  if (m_File == nullptr) return;
  if (m_IsStandard) {
    fflush(m_File);
  } else {
    fclose(m_File);
  }
}

// The C stream's error (or the end) as a result, clearing the stream's flags.
static NPT_Result StreamError(FILE* file, int saved_errno) {
  bool failed = ferror(file) != 0;
  clearerr(file);
  if (!failed) return NPT_ERROR_EOS;
  return saved_errno ? NPT_File::MapErrno(saved_errno) : NPT_ERROR_READ_FAILED;
}

static NPT_Result SeekFile(FILE* file, NPT_Position offset) {
  if (offset > static_cast<NPT_Position>(INT64_MAX)) return NPT_ERROR_OUT_OF_RANGE;
  if (_fseeki64(file, static_cast<__int64>(offset), SEEK_SET) != 0) return NPT_File::MapErrno(errno);
  return NPT_SUCCESS;
}

static NPT_Result TellFile(FILE* file, NPT_Position& offset) {
  offset = 0;
  __int64 position = _ftelli64(file);
  if (position < 0) return NPT_File::MapErrno(errno);
  offset = static_cast<NPT_Position>(position);
  return NPT_SUCCESS;
}

class NPT_Win32FileInputStream : public NPT_InputStream {
 public:
  explicit NPT_Win32FileInputStream(const NPT_Win32FileReference& file) : m_FileReference(file) {}

  NPT_Result Read(void* buffer, NPT_Size bytes_to_read, NPT_Size* bytes_read) override {
    if (bytes_read) *bytes_read = 0;
    if (buffer == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
    if (bytes_to_read == 0) return NPT_SUCCESS;
    FILE* file = m_FileReference->GetFile();
    errno = 0;
    size_t count = fread(buffer, 1, bytes_to_read, file);
    if (count == 0) return StreamError(file, errno);
    if (bytes_read) *bytes_read = static_cast<NPT_Size>(count);
    return NPT_SUCCESS;
  }
  NPT_Result Seek(NPT_Position offset) override { return SeekFile(m_FileReference->GetFile(), offset); }
  NPT_Result Tell(NPT_Position& offset) override { return TellFile(m_FileReference->GetFile(), offset); }
  NPT_Result GetSize(NPT_LargeSize& size) override {
    size = 0;
    struct _stati64 info;
    if (_fstati64(_fileno(m_FileReference->GetFile()), &info) != 0) return NPT_File::MapErrno(errno);
    size = static_cast<NPT_LargeSize>(info.st_size);
    return NPT_SUCCESS;
  }
  NPT_Result GetAvailable(NPT_LargeSize& available) override {
    available = 0;
    NPT_LargeSize size = 0;
    NPT_Position position = 0;
    NPT_Result result = GetSize(size);
    if (NPT_FAILED(result)) return result;
    result = Tell(position);
    if (NPT_FAILED(result)) return result;
    if (size > position) available = size - position;
    return NPT_SUCCESS;
  }

 private:
  NPT_Win32FileReference m_FileReference;
};

class NPT_Win32FileOutputStream : public NPT_OutputStream {
 public:
  explicit NPT_Win32FileOutputStream(const NPT_Win32FileReference& file) : m_FileReference(file) {}

  NPT_Result Write(const void* buffer, NPT_Size bytes_to_write, NPT_Size* bytes_written) override {
    if (bytes_written) *bytes_written = 0;
    if (bytes_to_write == 0) return NPT_SUCCESS;
    if (buffer == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
    FILE* file = m_FileReference->GetFile();
    size_t count = fwrite(buffer, 1, bytes_to_write, file);
    if (count == 0) {
      clearerr(file);
      return NPT_ERROR_WRITE_FAILED;
    }
    if (bytes_written) *bytes_written = static_cast<NPT_Size>(count);
    return NPT_SUCCESS;
  }
  NPT_Result Seek(NPT_Position offset) override { return SeekFile(m_FileReference->GetFile(), offset); }
  NPT_Result Tell(NPT_Position& offset) override { return TellFile(m_FileReference->GetFile(), offset); }
  NPT_Result Flush() override {
    FILE* file = m_FileReference->GetFile();
    if (fflush(file) != 0) {
      int error = errno;
      clearerr(file);
      return NPT_File::MapErrno(error);
    }
    return NPT_SUCCESS;
  }

 private:
  NPT_Win32FileReference m_FileReference;
};

// ---------------------------------------------------------------------------
// File object

NPT_Result NPT_Win32File::Open(OpenMode mode) {
  if (!m_FileReference.IsNull()) return NPT_ERROR_FILE_ALREADY_OPEN;

  FILE* file = nullptr;
  bool is_standard = true;
  if (m_Path == NPT_FILE_STANDARD_INPUT) {
    file = stdin;
  } else if (m_Path == NPT_FILE_STANDARD_OUTPUT) {
    file = stdout;
  } else if (m_Path == NPT_FILE_STANDARD_ERROR) {
    file = stderr;
  } else {
    is_standard = false;
    // "N": not inherited by child processes.
    const wchar_t* fmode;
    if (!(mode & NPT_FILE_OPEN_MODE_WRITE)) {
      fmode = L"rbN";
    } else if (mode & NPT_FILE_OPEN_MODE_TRUNCATE) {
      fmode = L"w+bN";
    } else if (mode & NPT_FILE_OPEN_MODE_CREATE) {
      fmode = L"a+bN";
    } else {
      fmode = L"r+bN";
    }
    NPT_Win32WideText path(m_Path.GetChars());
    // A writer keeps other writers out; a reader keeps nobody out, so that a
    // file can be read while it is being written (a log, for instance).
    const int sharing = (mode & NPT_FILE_OPEN_MODE_WRITE) ? _SH_DENYWR : _SH_DENYNO;
    if (path.Get()) file = _wfsopen(path.Get(), fmode, sharing);
    if (file == nullptr) {
      NPT_LOG_FINE("cannot open %s (errno=%d)", m_Path.GetChars(), errno);
      return NPT_ERROR_NO_SUCH_FILE;
    }
  }
  if (mode & NPT_FILE_OPEN_MODE_UNBUFFERED) setvbuf(file, nullptr, _IONBF, 0);

  NPT_Win32FileHandle* handle = new (std::nothrow) NPT_Win32FileHandle(file, is_standard);
  if (handle == nullptr) {
    if (!is_standard) fclose(file);
    return NPT_ERROR_OUT_OF_MEMORY;
  }
  m_FileReference = handle;
  m_Mode = mode;
  return NPT_SUCCESS;
}

NPT_Result NPT_Win32File::Close() {
  m_FileReference.Release();
  m_Mode = 0;
  return NPT_SUCCESS;
}

NPT_Result NPT_Win32File::GetInputStream(NPT_InputStreamReference& stream) {
  stream.Release();
  if (m_FileReference.IsNull()) return NPT_ERROR_FILE_NOT_OPEN;
  if (!(m_Mode & NPT_FILE_OPEN_MODE_READ)) return NPT_ERROR_FILE_NOT_READABLE;
  NPT_InputStream* input = new (std::nothrow) NPT_Win32FileInputStream(m_FileReference);
  if (input == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  stream = input;
  return NPT_SUCCESS;
}

NPT_Result NPT_Win32File::GetOutputStream(NPT_OutputStreamReference& stream) {
  stream.Release();
  if (m_FileReference.IsNull()) return NPT_ERROR_FILE_NOT_OPEN;
  if (!(m_Mode & NPT_FILE_OPEN_MODE_WRITE)) return NPT_ERROR_FILE_NOT_WRITABLE;
  NPT_OutputStream* output = new (std::nothrow) NPT_Win32FileOutputStream(m_FileReference);
  if (output == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  stream = output;
  return NPT_SUCCESS;
}

// ---------------------------------------------------------------------------
// Static operations

// FILETIME (100 ns since 1601) as a time stamp (ns since 1970).
static NPT_Int64 FileTimeToNanos(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  return ((NPT_Int64)ticks.QuadPart - 116444736000000000LL) * 100;
}

NPT_Result NPT_File::GetInfo(const char* path, NPT_FileInfo* info) {
  if (info) *info = NPT_FileInfo();
  if (path == nullptr || path[0] == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String name(path);
  if (IsSpecialName(name)) {
    if (info) info->m_Type = NPT_FileInfo::FILE_TYPE_SPECIAL;
    return NPT_SUCCESS;
  }
  NPT_Win32WideText wide(NormalizePath(path).GetChars());
  if (wide.Get() == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  WIN32_FILE_ATTRIBUTE_DATA status;
  if (!GetFileAttributesExW(wide.Get(), GetFileExInfoStandard, &status)) return MapLastError();
  if (info == nullptr) return NPT_SUCCESS;

  if (status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    info->m_Type = NPT_FileInfo::FILE_TYPE_DIRECTORY;
  } else if (status.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
    info->m_Type = NPT_FileInfo::FILE_TYPE_SPECIAL;
  } else {
    info->m_Type = NPT_FileInfo::FILE_TYPE_REGULAR;
  }
  info->m_Size = ((NPT_LargeSize)status.nFileSizeHigh << 32) | status.nFileSizeLow;
  info->m_AttributesMask = NPT_FileInfo::FILE_ATTRIBUTE_READ_ONLY | NPT_FileInfo::FILE_ATTRIBUTE_LINK;
  if (status.dwFileAttributes & FILE_ATTRIBUTE_READONLY) info->m_Attributes |= NPT_FileInfo::FILE_ATTRIBUTE_READ_ONLY;
  if (status.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) info->m_Attributes |= NPT_FileInfo::FILE_ATTRIBUTE_LINK;
  info->m_CreationTime.SetNanos(FileTimeToNanos(status.ftCreationTime));
  info->m_ModificationTime.SetNanos(FileTimeToNanos(status.ftLastWriteTime));
  return NPT_SUCCESS;
}

NPT_Result NPT_File::Rename(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String source = NormalizePath(from);
  NPT_String target = NormalizePath(to);
  NPT_Win32WideText wide_source(source.GetChars());
  NPT_Win32WideText wide_target(target.GetChars());
  if (wide_source.Get() == nullptr || wide_target.Get() == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  if (!MoveFileExW(wide_source.Get(), wide_target.Get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    NPT_Result result = MapLastError();
    NPT_LOG_FINE("rename %s -> %s failed (%d)", source.GetChars(), target.GetChars(), result);
    return result;
  }
  return NPT_SUCCESS;
}

// The UTF-8 form of a wide name; empty when it cannot be converted.
static NPT_String Utf8(const wchar_t* wide) {
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return NPT_String();
  NPT_String result;
  result.SetLength((NPT_Size)length - 1, true);
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, result.UseChars(), length, nullptr, nullptr);
  return result;
}

NPT_Result NPT_File::ListDir(const char* path, NPT_List<NPT_String>& entries, NPT_Ordinal start,
                             NPT_Cardinal count) {
  entries.Clear();
  if (path == nullptr || path[0] == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String pattern = NormalizePath(path);
  if (pattern.GetLast() != '\\') pattern += "\\";
  pattern += "*";
  NPT_Win32WideText wide(pattern.GetChars());
  if (wide.Get() == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(wide.Get(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    // A directory that exists but is empty still has "." (except a drive's
    // root): no entry at all is an empty root, anything else an error.
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return NPT_SUCCESS;
    return MapLastError();
  }

  NPT_Result result = NPT_SUCCESS;
  NPT_Ordinal index = 0;
  do {
    if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0) continue;
    if (index++ < start) continue;
    result = entries.Add(Utf8(entry.cFileName));
    if (NPT_FAILED(result)) break;
    if (count != 0 && entries.GetItemCount() >= count) break;
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  if (NPT_FAILED(result)) entries.Clear();
  return result;
}

// Removes one path; directories are emptied first when `recursive`. Links
// (reparse points) are removed themselves, never followed.
static NPT_Result RemovePath(const NPT_String& path, bool recursive) {
  NPT_Win32WideText wide(path.GetChars());
  if (wide.Get() == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  DWORD attributes = GetFileAttributesW(wide.Get());
  if (attributes == INVALID_FILE_ATTRIBUTES) return MapLastError();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (!DeleteFileW(wide.Get())) return MapLastError();
    return NPT_SUCCESS;
  }
  if (recursive && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    NPT_List<NPT_String> entries;
    NPT_CHECK_WARNING((NPT_File::ListDir(path, entries)));
    for (NPT_List<NPT_String>::Iterator it = entries.GetFirstItem(); it; ++it) {
      NPT_CHECK_WARNING((RemovePath(NPT_FilePath::Create(path, *it), true)));
    }
  }
  if (!RemoveDirectoryW(wide.Get())) return MapLastError();
  return NPT_SUCCESS;
}

NPT_Result NPT_File::Remove(const char* path, bool recursive) {
  if (path == nullptr || path[0] == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  return RemovePath(NormalizePath(path), recursive);
}

// Creates one directory; an existing directory is success.
static NPT_Result MakeDirectory(const NPT_String& path) {
  NPT_Win32WideText wide(path.GetChars());
  if (wide.Get() == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  if (CreateDirectoryW(wide.Get(), nullptr)) return NPT_SUCCESS;
  NPT_Result result = MapLastError();
  if (result == NPT_ERROR_FILE_ALREADY_EXISTS || result == NPT_ERROR_PERMISSION_DENIED) {
    // A drive's root answers "access denied" rather than "exists".
    DWORD attributes = GetFileAttributesW(wide.Get());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NPT_SUCCESS : NPT_ERROR_FILE_ALREADY_EXISTS;
    }
  }
  return result;
}

NPT_Result NPT_File::CreateDir(const char* path, bool create_parents) {
  if (path == nullptr || path[0] == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String normalized = NormalizePath(path);
  if (create_parents) {
    // Every ancestor, from the top down; a leading separator or a drive's
    // separator is a root, not an ancestor to create.
    for (NPT_Size i = 1; i < normalized.GetLength(); ++i) {
      if (normalized[static_cast<int>(i)] != '\\') continue;
      if (normalized[static_cast<int>(i) - 1] == '\\' || normalized[static_cast<int>(i) - 1] == ':') continue;
      NPT_CHECK_FINE((MakeDirectory(NPT_String(normalized.GetChars(), i))));
    }
  }
  return MakeDirectory(normalized);
}
