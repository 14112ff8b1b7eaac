// Portable half of the file layer: whole-file load and save, sizes, the
// instance shortcuts and the path helpers. The platform layer
// (Source/System/<platform>) defines the constructor, the status, rename,
// directory operations, the error map and the separator.

#include "NptFile.h"

#include "NptLogging.h"

NPT_SET_LOCAL_LOGGER("npt.file")

NPT_File::~NPT_File() { delete m_Delegate; }

NPT_Result NPT_File::Load(NPT_DataBuffer& buffer) {
  buffer.SetDataSize(0);
  NPT_InputStreamReference input;
  NPT_CHECK_WARNING((GetInputStream(input)));
  return input->Load(buffer);
}

NPT_Result NPT_File::Save(const NPT_DataBuffer& buffer) {
  NPT_OutputStreamReference output;
  NPT_CHECK_WARNING((GetOutputStream(output)));
  NPT_CHECK_WARNING((output->WriteFully(buffer.GetData(), buffer.GetDataSize())));
  return output->Flush();
}

NPT_Result NPT_File::GetSize(NPT_LargeSize& size) {
  size = 0;
  if (m_IsSpecial) return NPT_SUCCESS;
  return GetSize(m_Path, size);
}

NPT_Result NPT_File::GetInfo(NPT_FileInfo& info) {
  info = NPT_FileInfo();
  return GetInfo(m_Path, &info);
}

NPT_Result NPT_File::ListDir(NPT_List<NPT_String>& entries) { return ListDir(m_Path, entries); }

NPT_Result NPT_File::Rename(const char* path) {
  NPT_CHECK_WARNING((Rename(m_Path, path)));
  m_Path = path;
  return NPT_SUCCESS;
}

NPT_Result NPT_File::GetSize(const char* path, NPT_LargeSize& size) {
  size = 0;
  if (path == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_String name(path);
  if (name == NPT_FILE_STANDARD_INPUT || name == NPT_FILE_STANDARD_OUTPUT || name == NPT_FILE_STANDARD_ERROR) {
    return NPT_SUCCESS;
  }
  NPT_FileInfo info;
  NPT_CHECK_FINE((GetInfo(path, &info)));
  if (info.m_Type == NPT_FileInfo::FILE_TYPE_DIRECTORY) {
    NPT_List<NPT_String> entries;
    NPT_CHECK_WARNING((ListDir(path, entries)));
    size = entries.GetItemCount();
  } else {
    size = info.m_Size;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_File::Load(const char* path, NPT_DataBuffer& buffer, OpenMode mode) {
  buffer.SetDataSize(0);
  if (path == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_File file(path);
  NPT_CHECK_FINE((file.Open(mode | NPT_FILE_OPEN_MODE_READ)));
  NPT_Result result = file.Load(buffer);
  file.Close();
  return result;
}

NPT_Result NPT_File::Load(const char* path, NPT_String& data, OpenMode mode) {
  data = NPT_String();
  NPT_DataBuffer buffer;
  NPT_CHECK_FINE((Load(path, buffer, mode)));
  data.Assign(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
  return NPT_SUCCESS;
}

NPT_Result NPT_File::Save(const char* path, const NPT_String& data) {
  NPT_DataBuffer buffer(data.GetChars(), data.GetLength(), false);
  return Save(path, buffer);
}

NPT_Result NPT_File::Save(const char* path, const NPT_DataBuffer& buffer) {
  if (path == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  NPT_File file(path);
  NPT_CHECK_WARNING((file.Open(NPT_FILE_OPEN_MODE_WRITE | NPT_FILE_OPEN_MODE_CREATE | NPT_FILE_OPEN_MODE_TRUNCATE)));
  NPT_Result result = file.Save(buffer);
  file.Close();
  return result;
}

// ---------------------------------------------------------------------------
// Path helpers. Both separators count, whatever the platform's.

static bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Index of the last separator, or -1.
static int LastSeparator(const NPT_String& path) {
  for (int i = static_cast<int>(path.GetLength()) - 1; i >= 0; --i) {
    if (IsSeparator(path[i])) return i;
  }
  return -1;
}

NPT_String NPT_FilePath::BaseName(const char* path, bool with_extension) {
  NPT_String text(path);
  int separator = LastSeparator(text);
  NPT_String base = separator < 0 ? text : NPT_String(text.GetChars() + separator + 1);
  if (!with_extension) {
    for (int i = static_cast<int>(base.GetLength()) - 1; i >= 0; --i) {
      if (base[i] == '.') {
        base.SetLength(static_cast<NPT_Size>(i));
        break;
      }
    }
  }
  return base;
}

NPT_String NPT_FilePath::DirName(const char* path) {
  NPT_String text(path);
  int separator = LastSeparator(text);
  if (separator < 0) return NPT_String();
  if (separator == 0) return NPT_String(Separator);
  return NPT_String(text.GetChars(), static_cast<NPT_Size>(separator));
}

NPT_String NPT_FilePath::FileExtension(const char* path) {
  NPT_String base = BaseName(path);
  for (int i = static_cast<int>(base.GetLength()) - 1; i >= 0; --i) {
    if (base[i] == '.') return NPT_String(base.GetChars() + i);
  }
  return NPT_String();
}

NPT_String NPT_FilePath::Create(const char* directory, const char* base) {
  NPT_String dir(directory);
  NPT_String name(base);
  if (dir.IsEmpty()) return name;
  if (name.IsEmpty()) return dir;
  NPT_String result(dir);
  if (!IsSeparator(result.GetLast())) result += Separator;
  const char* tail = name.GetChars();
  while (IsSeparator(*tail)) ++tail;
  result += tail;
  return result;
}
