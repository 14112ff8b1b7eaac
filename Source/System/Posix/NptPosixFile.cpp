// POSIX file layer: C library streams for file contents, stat/opendir/mkdir/
// rename/unlink for the rest. Assumes a POSIX system with 64-bit file offsets
// (fseeko/ftello) and glibc's "e" fopen flag (close-on-exec).

#include "NptPosixFile.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "NptLogging.h"

NPT_SET_LOCAL_LOGGER("npt.file")

const char* const NPT_FilePath::Separator = "/";

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

static bool IsSpecialName(const NPT_String& path) {
  return path == NPT_FILE_STANDARD_INPUT || path == NPT_FILE_STANDARD_OUTPUT || path == NPT_FILE_STANDARD_ERROR;
}

// A path for the directory operations: backslashes become "/", trailing
// separators go (the root "/" stays).
static NPT_String NormalizePath(const char* path) {
  NPT_String result(path);
  for (NPT_Size i = 0; i < result.GetLength(); ++i) {
    if (result[static_cast<int>(i)] == '\\') result[static_cast<int>(i)] = '/';
  }
  while (result.GetLength() > 1 && result.GetLast() == '/') result.SetLength(result.GetLength() - 1);
  return result;
}

NPT_File::NPT_File(const char* path)
    : m_Path(path), m_IsSpecial(IsSpecialName(m_Path)), m_Delegate(new NPT_PosixFile(path)) {}

// ---------------------------------------------------------------------------
// Streams

NPT_PosixFileHandle::~NPT_PosixFileHandle() {
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
  if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return NPT_File::MapErrno(errno);
  return NPT_SUCCESS;
}

static NPT_Result TellFile(FILE* file, NPT_Position& offset) {
  offset = 0;
  off_t position = ftello(file);
  if (position < 0) return NPT_File::MapErrno(errno);
  offset = static_cast<NPT_Position>(position);
  return NPT_SUCCESS;
}

class NPT_PosixFileInputStream : public NPT_InputStream {
 public:
  explicit NPT_PosixFileInputStream(const NPT_PosixFileReference& file) : m_FileReference(file) {}

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
    struct stat info;
    if (fstat(fileno(m_FileReference->GetFile()), &info) != 0) return NPT_File::MapErrno(errno);
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
  NPT_PosixFileReference m_FileReference;
};

class NPT_PosixFileOutputStream : public NPT_OutputStream {
 public:
  explicit NPT_PosixFileOutputStream(const NPT_PosixFileReference& file) : m_FileReference(file) {}

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
  NPT_PosixFileReference m_FileReference;
};

// ---------------------------------------------------------------------------
// File object

NPT_Result NPT_PosixFile::Open(OpenMode mode) {
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
    const char* fmode;
    if (!(mode & NPT_FILE_OPEN_MODE_WRITE)) {
      fmode = "rbe";
    } else if (mode & NPT_FILE_OPEN_MODE_TRUNCATE) {
      fmode = "w+be";
    } else if (mode & NPT_FILE_OPEN_MODE_CREATE) {
      fmode = "a+be";
    } else {
      fmode = "r+be";
    }
    file = fopen(m_Path.GetChars(), fmode);
    if (file == nullptr) {
      NPT_LOG_FINE("cannot open %s (errno=%d)", m_Path.GetChars(), errno);
      return NPT_ERROR_NO_SUCH_FILE;
    }
  }
  if (mode & NPT_FILE_OPEN_MODE_UNBUFFERED) setvbuf(file, nullptr, _IONBF, 0);

  NPT_PosixFileHandle* handle = new (std::nothrow) NPT_PosixFileHandle(file, is_standard);
  if (handle == nullptr) {
    if (!is_standard) fclose(file);
    return NPT_ERROR_OUT_OF_MEMORY;
  }
  m_FileReference = handle;
  m_Mode = mode;
  return NPT_SUCCESS;
}

NPT_Result NPT_PosixFile::Close() {
  m_FileReference.Release();
  m_Mode = 0;
  return NPT_SUCCESS;
}

NPT_Result NPT_PosixFile::GetInputStream(NPT_InputStreamReference& stream) {
  stream.Release();
  if (m_FileReference.IsNull()) return NPT_ERROR_FILE_NOT_OPEN;
  if (!(m_Mode & NPT_FILE_OPEN_MODE_READ)) return NPT_ERROR_FILE_NOT_READABLE;
  NPT_InputStream* input = new (std::nothrow) NPT_PosixFileInputStream(m_FileReference);
  if (input == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  stream = input;
  return NPT_SUCCESS;
}

NPT_Result NPT_PosixFile::GetOutputStream(NPT_OutputStreamReference& stream) {
  stream.Release();
  if (m_FileReference.IsNull()) return NPT_ERROR_FILE_NOT_OPEN;
  if (!(m_Mode & NPT_FILE_OPEN_MODE_WRITE)) return NPT_ERROR_FILE_NOT_WRITABLE;
  NPT_OutputStream* output = new (std::nothrow) NPT_PosixFileOutputStream(m_FileReference);
  if (output == nullptr) return NPT_ERROR_OUT_OF_MEMORY;
  stream = output;
  return NPT_SUCCESS;
}

// ---------------------------------------------------------------------------
// Static operations

NPT_Result NPT_File::GetInfo(const char* path, NPT_FileInfo* info) {
  if (info) *info = NPT_FileInfo();
  if (path == nullptr || path[0] == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String name(path);
  if (IsSpecialName(name)) {
    if (info) info->m_Type = NPT_FileInfo::FILE_TYPE_SPECIAL;
    return NPT_SUCCESS;
  }
  NPT_String normalized = NormalizePath(path);
  struct stat status;
  if (stat(normalized.GetChars(), &status) != 0) return MapErrno(errno);
  if (info == nullptr) return NPT_SUCCESS;

  if (S_ISREG(status.st_mode)) {
    info->m_Type = NPT_FileInfo::FILE_TYPE_REGULAR;
  } else if (S_ISDIR(status.st_mode)) {
    info->m_Type = NPT_FileInfo::FILE_TYPE_DIRECTORY;
  } else if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) || S_ISFIFO(status.st_mode) ||
             S_ISSOCK(status.st_mode)) {
    info->m_Type = NPT_FileInfo::FILE_TYPE_SPECIAL;
  } else {
    info->m_Type = NPT_FileInfo::FILE_TYPE_OTHER;
  }
  info->m_Size = static_cast<NPT_LargeSize>(status.st_size);
  info->m_AttributesMask = NPT_FileInfo::FILE_ATTRIBUTE_READ_ONLY | NPT_FileInfo::FILE_ATTRIBUTE_LINK;
  if (access(normalized.GetChars(), W_OK) != 0) info->m_Attributes |= NPT_FileInfo::FILE_ATTRIBUTE_READ_ONLY;
  struct stat link_status;
  if (lstat(normalized.GetChars(), &link_status) == 0 && S_ISLNK(link_status.st_mode)) {
    info->m_Attributes |= NPT_FileInfo::FILE_ATTRIBUTE_LINK;
  }
  info->m_CreationTime.SetNanos(static_cast<NPT_Int64>(status.st_ctim.tv_sec) * 1000000000 +
                                status.st_ctim.tv_nsec);
  info->m_ModificationTime.SetNanos(static_cast<NPT_Int64>(status.st_mtim.tv_sec) * 1000000000 +
                                    status.st_mtim.tv_nsec);
  return NPT_SUCCESS;
}

NPT_Result NPT_File::Rename(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String source = NormalizePath(from);
  NPT_String target = NormalizePath(to);
  if (rename(source.GetChars(), target.GetChars()) != 0) {
    NPT_Result result = MapErrno(errno);
    NPT_LOG_FINE("rename %s -> %s failed (%d)", source.GetChars(), target.GetChars(), result);
    return result;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_File::ListDir(const char* path, NPT_List<NPT_String>& entries, NPT_Ordinal start,
                             NPT_Cardinal count) {
  entries.Clear();
  if (path == nullptr || path[0] == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String normalized = NormalizePath(path);
  DIR* directory = opendir(normalized.GetChars());
  if (directory == nullptr) return MapErrno(errno);

  NPT_Result result = NPT_SUCCESS;
  NPT_Ordinal index = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(directory);
    if (entry == nullptr) {
      if (errno != 0) result = MapErrno(errno);
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (index++ < start) continue;
    result = entries.Add(NPT_String(entry->d_name));
    if (NPT_FAILED(result)) break;
    if (count != 0 && entries.GetItemCount() >= count) break;
  }
  closedir(directory);
  if (NPT_FAILED(result)) entries.Clear();
  return result;
}

// Removes one path; directories are emptied first when `recursive`. Links are
// removed themselves, never followed.
static NPT_Result RemovePath(const NPT_String& path, bool recursive) {
  struct stat status;
  if (lstat(path.GetChars(), &status) != 0) return NPT_File::MapErrno(errno);
  if (!S_ISDIR(status.st_mode)) {
    if (unlink(path.GetChars()) != 0) return NPT_File::MapErrno(errno);
    return NPT_SUCCESS;
  }
  if (recursive) {
    NPT_List<NPT_String> entries;
    NPT_CHECK_WARNING((NPT_File::ListDir(path, entries)));
    for (NPT_List<NPT_String>::Iterator it = entries.GetFirstItem(); it; ++it) {
      NPT_CHECK_WARNING((RemovePath(NPT_FilePath::Create(path, *it), true)));
    }
  }
  if (rmdir(path.GetChars()) != 0) {
    int error = errno;
    return error == EEXIST ? NPT_ERROR_DIRECTORY_NOT_EMPTY : NPT_File::MapErrno(error);
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_File::Remove(const char* path, bool recursive) {
  if (path == nullptr || path[0] == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  return RemovePath(NormalizePath(path), recursive);
}

// Creates one directory; an existing directory is success.
static NPT_Result MakeDirectory(const NPT_String& path) {
  if (mkdir(path.GetChars(), 0755) == 0) return NPT_SUCCESS;
  int error = errno;
  if (error == EEXIST) {
    struct stat status;
    if (stat(path.GetChars(), &status) == 0 && S_ISDIR(status.st_mode)) return NPT_SUCCESS;
    return NPT_ERROR_FILE_ALREADY_EXISTS;
  }
  return NPT_File::MapErrno(error);
}

NPT_Result NPT_File::CreateDir(const char* path, bool create_parents) {
  if (path == nullptr || path[0] == '\0') return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String normalized = NormalizePath(path);
  if (create_parents) {
    // Every ancestor, from the top down; a separator at index 0 is the root.
    for (NPT_Size i = 1; i < normalized.GetLength(); ++i) {
      if (normalized[static_cast<int>(i)] != '/') continue;
      if (normalized[static_cast<int>(i) - 1] == '/') continue;
      NPT_CHECK_FINE((MakeDirectory(NPT_String(normalized.GetChars(), i))));
    }
  }
  return MakeDirectory(normalized);
}
