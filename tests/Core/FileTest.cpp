// Files: open modes and their errors, file streams, whole-file load/save, the
// standard streams, status, directories and path helpers. Everything happens in
// a fresh temporary directory per test.

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "NptFile.h"
#include "TestSupport.h"

namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(m_Dir.empty()); }
  std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
  void Write(const std::string& name, const std::string& data) const {
    std::ofstream(Path(name), std::ios::binary) << data;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static std::string Text(const NPT_DataBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
  }

  kvx_test::TemporaryDirectory m_Temporary{"kvx-file-test"};
  const std::string m_Dir = m_Temporary.Path();
};

TEST_F(FileTest, OpenErrors) {
  NPT_File missing(Path("missing").c_str());
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, missing.Open(NPT_FILE_OPEN_MODE_READ));
  // Write without create or truncate updates in place: the file must exist.
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, missing.Open(NPT_FILE_OPEN_MODE_WRITE));
  EXPECT_FALSE(NPT_File::Exists(Path("missing").c_str()));

  Write("a", "x");
  NPT_File file(Path("a").c_str());
  ASSERT_EQ(NPT_SUCCESS, file.Open(NPT_FILE_OPEN_MODE_READ));
  EXPECT_EQ(NPT_ERROR_FILE_ALREADY_OPEN, file.Open(NPT_FILE_OPEN_MODE_READ));
  EXPECT_EQ(NPT_SUCCESS, file.Close());
  EXPECT_EQ(NPT_SUCCESS, file.Open(NPT_FILE_OPEN_MODE_READ));
}

TEST_F(FileTest, StreamGettersCheckStateAndMode) {
  Write("a", "x");
  NPT_File file(Path("a").c_str());
  NPT_InputStreamReference input(new NPT_MemoryStream());
  NPT_OutputStreamReference output(new NPT_MemoryStream());
  EXPECT_EQ(NPT_ERROR_FILE_NOT_OPEN, file.GetInputStream(input));
  EXPECT_EQ(NPT_ERROR_FILE_NOT_OPEN, file.GetOutputStream(output));
  EXPECT_TRUE(input.IsNull());
  EXPECT_TRUE(output.IsNull());

  ASSERT_EQ(NPT_SUCCESS, file.Open(NPT_FILE_OPEN_MODE_READ));
  EXPECT_EQ(NPT_ERROR_FILE_NOT_WRITABLE, file.GetOutputStream(output));
  EXPECT_EQ(NPT_SUCCESS, file.GetInputStream(input));
  file.Close();

  ASSERT_EQ(NPT_SUCCESS, file.Open(NPT_FILE_OPEN_MODE_WRITE | NPT_FILE_OPEN_MODE_CREATE));
  EXPECT_EQ(NPT_ERROR_FILE_NOT_READABLE, file.GetInputStream(input));
  EXPECT_TRUE(input.IsNull());
  EXPECT_EQ(NPT_SUCCESS, file.GetOutputStream(output));
}

// The modes the log file handler uses, and the plain write-only update.
TEST_F(FileTest, WriteModes) {
  struct Case {
    NPT_Flags mode;
    const char* expected;
  } cases[] = {
      {39, "abcdefXY"},  // read, write, create, append
      {15, "XY"},        // read, write, create, truncate
      {14, "XY"},        // what Save uses
      {6, "abcdefXY"},   // write and create without truncate appends
      {2, "XYcdef"},     // write alone overwrites in place
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    Write("f", "abcdef");
    NPT_File file(Path("f").c_str());
    ASSERT_EQ(NPT_SUCCESS, file.Open(c.mode));
    NPT_OutputStreamReference output;
    ASSERT_EQ(NPT_SUCCESS, file.GetOutputStream(output));
    EXPECT_EQ(NPT_SUCCESS, output->WriteFully("XY", 2));
    output = nullptr;
    file.Close();
    EXPECT_EQ(c.expected, Read("f"));
  }
  // Create really creates.
  NPT_File created(Path("new").c_str());
  ASSERT_EQ(NPT_SUCCESS, created.Open(39));
  created.Close();
  EXPECT_TRUE(NPT_File::Exists(Path("new").c_str()));
}

TEST_F(FileTest, InputStreamReadsToTheEnd) {
  Write("f", std::string("ab\0cdefg", 8));
  NPT_File file(Path("f").c_str());
  ASSERT_EQ(NPT_SUCCESS, file.Open(NPT_FILE_OPEN_MODE_READ));
  NPT_InputStreamReference input;
  ASSERT_EQ(NPT_SUCCESS, file.GetInputStream(input));

  NPT_LargeSize size = 0, available = 0;
  EXPECT_EQ(NPT_SUCCESS, input->GetSize(size));
  EXPECT_EQ(8u, size);
  char buffer[16];
  NPT_Size read = 99;
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, input->Read(nullptr, 4, &read));
  EXPECT_EQ(0u, read);
  ASSERT_EQ(NPT_SUCCESS, input->Read(buffer, 3, &read));
  EXPECT_EQ(3u, read);
  EXPECT_EQ(std::string("ab\0", 3), std::string(buffer, 3));
  EXPECT_EQ(NPT_SUCCESS, input->GetAvailable(available));
  EXPECT_EQ(5u, available);
  // Fewer bytes at the end, then the end itself.
  ASSERT_EQ(NPT_SUCCESS, input->Read(buffer, sizeof(buffer), &read));
  EXPECT_EQ(5u, read);
  EXPECT_EQ("cdefg", std::string(buffer, 5));
  EXPECT_EQ(NPT_ERROR_EOS, input->Read(buffer, sizeof(buffer), &read));
  EXPECT_EQ(0u, read);
  EXPECT_EQ(NPT_SUCCESS, input->GetAvailable(available));
  EXPECT_EQ(0u, available);
  // Seek back and read again.
  EXPECT_EQ(NPT_SUCCESS, input->Seek(6));
  NPT_Position position = 0;
  EXPECT_EQ(NPT_SUCCESS, input->Tell(position));
  EXPECT_EQ(6u, position);
  ASSERT_EQ(NPT_SUCCESS, input->Read(buffer, sizeof(buffer), &read));
  EXPECT_EQ("fg", std::string(buffer, read));
}

// Streams keep the C stream open past Close; the last one closes it.
TEST_F(FileTest, StreamsOutliveCloseAndReleaseTheDescriptor) {
  Write("f", "hello");
  int baseline = kvx_test::CountOpenDescriptors();
  NPT_InputStreamReference input;
  {
    NPT_File file(Path("f").c_str());
    ASSERT_EQ(NPT_SUCCESS, file.Open(NPT_FILE_OPEN_MODE_READ));
    ASSERT_EQ(NPT_SUCCESS, file.GetInputStream(input));
    EXPECT_EQ(baseline + 1, kvx_test::CountOpenDescriptors());
  }
  char buffer[8];
  NPT_Size read = 0;
  ASSERT_EQ(NPT_SUCCESS, input->Read(buffer, sizeof(buffer), &read));
  EXPECT_EQ("hello", std::string(buffer, read));
  EXPECT_EQ(baseline + 1, kvx_test::CountOpenDescriptors());
  input = nullptr;
  EXPECT_EQ(baseline, kvx_test::CountOpenDescriptors());

  // A file object destroyed while open closes too.
  {
    NPT_File file(Path("f").c_str());
    ASSERT_EQ(NPT_SUCCESS, file.Open(NPT_FILE_OPEN_MODE_READ));
  }
  EXPECT_EQ(baseline, kvx_test::CountOpenDescriptors());
}

TEST_F(FileTest, LoadAndSaveWholeFiles) {
  std::string binary("\x00\x01\xff line\r\n", 10);
  NPT_DataBuffer buffer(binary.data(), static_cast<NPT_Size>(binary.size()));
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Save(Path("b").c_str(), buffer));
  EXPECT_EQ(binary, Read("b"));

  NPT_DataBuffer loaded;
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Load(Path("b").c_str(), loaded));
  EXPECT_EQ(binary, Text(loaded));

  // Save truncates a longer file.
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Save(Path("b").c_str(), NPT_String("short")));
  NPT_String text("stale");
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Load(Path("b").c_str(), text));
  EXPECT_STREQ("short", text.GetChars());

  // Empty file, and a missing one leaves the outputs empty.
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Save(Path("e").c_str(), NPT_String()));
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Load(Path("e").c_str(), text));
  EXPECT_TRUE(text.IsEmpty());
  text = "stale";
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::Load(Path("missing").c_str(), text));
  EXPECT_TRUE(text.IsEmpty());
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::Load(Path("missing").c_str(), loaded));
  EXPECT_EQ(0u, loaded.GetDataSize());
  // Saving into a missing directory fails with the open's error.
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::Save(Path("nodir/x").c_str(), NPT_String("x")));
}

TEST_F(FileTest, StandardOutputWritesToDescriptorOne) {
  std::string capture = Path("stdout");
  fflush(stdout);
  int saved = dup(1);
  ASSERT_GE(saved, 0);
  int target = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(target, 0);
  ASSERT_EQ(1, dup2(target, 1));
  close(target);
  {
    NPT_File out(NPT_FILE_STANDARD_OUTPUT);
    ASSERT_EQ(NPT_SUCCESS, out.Open(NPT_FILE_OPEN_MODE_WRITE));
    NPT_OutputStreamReference stream;
    ASSERT_EQ(NPT_SUCCESS, out.GetOutputStream(stream));
    EXPECT_EQ(NPT_SUCCESS, stream->WriteString("to stdout\n"));
    EXPECT_EQ(NPT_SUCCESS, stream->Flush());
    NPT_LargeSize size = 99;
    EXPECT_EQ(NPT_SUCCESS, out.GetSize(size));
    EXPECT_EQ(0u, size);
  }
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  EXPECT_EQ("to stdout\n", Read("stdout"));
  // Closing the file object did not close the process's stdout.
  EXPECT_NE(-1, fcntl(1, F_GETFD));
  EXPECT_EQ(0, ferror(stdout));

  NPT_LargeSize size = 99;
  EXPECT_EQ(NPT_SUCCESS, NPT_File::GetSize(NPT_FILE_STANDARD_ERROR, size));
  EXPECT_EQ(0u, size);
}

TEST_F(FileTest, SizesAndInfo) {
  Write("f", "12345");
  ASSERT_EQ(0, mkdir(Path("d").c_str(), 0755));
  Write("d/1", "");
  Write("d/2", "");
  Write("d/3", "");

  NPT_LargeSize size = 99;
  EXPECT_EQ(NPT_SUCCESS, NPT_File::GetSize(Path("f").c_str(), size));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(NPT_SUCCESS, NPT_File::GetSize(Path("d").c_str(), size));
  EXPECT_EQ(3u, size);
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::GetSize(Path("missing").c_str(), size));
  EXPECT_EQ(0u, size);

  NPT_File file(Path("f").c_str());
  EXPECT_EQ(NPT_SUCCESS, file.GetSize(size));
  EXPECT_EQ(5u, size);

  NPT_FileInfo info;
  ASSERT_EQ(NPT_SUCCESS, NPT_File::GetInfo(Path("f").c_str(), &info));
  EXPECT_EQ(NPT_FileInfo::FILE_TYPE_REGULAR, info.m_Type);
  EXPECT_EQ(5u, info.m_Size);
  EXPECT_GT(info.m_ModificationTime.ToNanos(), 0);
  // Trailing separators of either kind are ignored; backslashes are separators.
  for (const std::string& p : {Path("d") + "/", Path("d") + "//", Path("d") + "\\", m_Dir + "\\d"}) {
    SCOPED_TRACE(p);
    ASSERT_EQ(NPT_SUCCESS, NPT_File::GetInfo(p.c_str(), &info));
    EXPECT_EQ(NPT_FileInfo::FILE_TYPE_DIRECTORY, info.m_Type);
  }
  ASSERT_EQ(NPT_SUCCESS, NPT_File::GetInfo("/dev/null", &info));
  EXPECT_EQ(NPT_FileInfo::FILE_TYPE_SPECIAL, info.m_Type);
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::GetInfo(Path("missing").c_str(), &info));
  EXPECT_EQ(NPT_FileInfo::FILE_TYPE_NONE, info.m_Type);
  EXPECT_EQ(NPT_ERROR_FILE_NOT_DIRECTORY, NPT_File::GetInfo(Path("f/x").c_str(), &info));
}

TEST_F(FileTest, RenameMovesAFileAside) {
  Write("log", "full");
  Write("log.bak", "older");
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Rename(Path("log").c_str(), Path("log.bak").c_str()));
  EXPECT_FALSE(NPT_File::Exists(Path("log").c_str()));
  EXPECT_EQ("full", Read("log.bak"));
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::Rename(Path("log").c_str(), Path("x").c_str()));

  NPT_File file(Path("log.bak").c_str());
  ASSERT_EQ(NPT_SUCCESS, file.Rename(Path("moved").c_str()));
  EXPECT_EQ(Path("moved"), file.GetPath().GetChars());
  EXPECT_EQ("full", Read("moved"));
}

TEST_F(FileTest, Directories) {
  // Without parents a missing ancestor fails; with them the chain is made.
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::CreateDir(Path("a/b/c").c_str()));
  ASSERT_EQ(NPT_SUCCESS, NPT_File::CreateDir((m_Dir + "\\a/b//c/").c_str(), true));
  EXPECT_TRUE(std::filesystem::is_directory(Path("a/b/c")));
  EXPECT_EQ(NPT_SUCCESS, NPT_File::CreateDir(Path("a/b").c_str()));  // exists already
  Write("a/file", "x");
  EXPECT_EQ(NPT_ERROR_FILE_ALREADY_EXISTS, NPT_File::CreateDir(Path("a/file").c_str()));
  // An ancestor that is a file stops the chain.
  EXPECT_EQ(NPT_ERROR_FILE_ALREADY_EXISTS, NPT_File::CreateDir(Path("a/file/sub").c_str(), true));
  EXPECT_EQ(NPT_ERROR_FILE_NOT_DIRECTORY, NPT_File::CreateDir(Path("a/file/sub").c_str()));

  NPT_List<NPT_String> entries;
  entries.Add("stale");
  ASSERT_EQ(NPT_SUCCESS, NPT_File::ListDir(Path("a").c_str(), entries));
  std::set<std::string> names;
  for (auto it = entries.GetFirstItem(); it; ++it) names.insert(it->GetChars());
  EXPECT_EQ((std::set<std::string>{"b", "file"}), names);
  ASSERT_EQ(NPT_SUCCESS, NPT_File::ListDir(Path("a").c_str(), entries, 1, 5));
  EXPECT_EQ(1u, entries.GetItemCount());
  ASSERT_EQ(NPT_SUCCESS, NPT_File::ListDir(Path("a").c_str(), entries, 0, 1));
  EXPECT_EQ(1u, entries.GetItemCount());
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::ListDir(Path("none").c_str(), entries));
  EXPECT_EQ(0u, entries.GetItemCount());
  EXPECT_EQ(NPT_ERROR_FILE_NOT_DIRECTORY, NPT_File::ListDir(Path("a/file").c_str(), entries));
}

TEST_F(FileTest, RemoveNeverFollowsLinks) {
  ASSERT_EQ(NPT_SUCCESS, NPT_File::CreateDir(Path("tree/sub").c_str(), true));
  Write("tree/sub/f", "x");
  Write("tree/g", "y");
  ASSERT_EQ(0, mkdir(Path("outside").c_str(), 0755));
  Write("outside/keep", "precious");
  ASSERT_EQ(0, symlink(Path("outside").c_str(), Path("tree/link").c_str()));

  EXPECT_EQ(NPT_ERROR_DIRECTORY_NOT_EMPTY, NPT_File::Remove(Path("tree").c_str()));
  ASSERT_EQ(NPT_SUCCESS, NPT_File::Remove(Path("tree").c_str(), true));
  EXPECT_FALSE(std::filesystem::exists(Path("tree")));
  EXPECT_EQ("precious", Read("outside/keep"));

  EXPECT_EQ(NPT_SUCCESS, NPT_File::Remove(Path("outside/keep").c_str()));
  EXPECT_EQ(NPT_SUCCESS, NPT_File::Remove(Path("outside").c_str()));
  EXPECT_EQ(NPT_ERROR_NO_SUCH_FILE, NPT_File::Remove(Path("outside").c_str()));
}

TEST(FileErrnoTest, MapsTheRuntimeLibraryNumbers) {
  struct Case {
    int error;
    NPT_Result expected;
  } cases[] = {
      {EPERM, NPT_ERROR_PERMISSION_DENIED},     {EACCES, NPT_ERROR_PERMISSION_DENIED},
      {ENOENT, NPT_ERROR_NO_SUCH_FILE},         {EBUSY, NPT_ERROR_FILE_BUSY},
      {ENOTDIR, NPT_ERROR_FILE_NOT_DIRECTORY},  {EROFS, NPT_ERROR_FILE_NOT_WRITABLE},
      {ENAMETOOLONG, NPT_ERROR_INVALID_PARAMETERS}, {ENOSPC, NPT_ERROR_FILE_NOT_ENOUGH_SPACE},
      {EEXIST, NPT_ERROR_FILE_ALREADY_EXISTS},  {ENOTEMPTY, NPT_ERROR_DIRECTORY_NOT_EMPTY},
      {EIO, -(22000 + EIO)},                    {EMFILE, -(22000 + EMFILE)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, NPT_File::MapErrno(c.error)) << c.error;
}

TEST(FilePathTest, Operations) {
  struct Case {
    const char* path;
    const char* base;
    const char* base_no_ext;
    const char* dir;
    const char* ext;
  } cases[] = {
      {"/var/log/npt.log", "npt.log", "npt", "/var/log", ".log"},
      {"npt.log.1", "npt.log.1", "npt.log", "", ".1"},
      {"/top", "top", "top", "/", ""},
      {"dir\\file.txt", "file.txt", "file", "dir", ".txt"},
      {"a.b/c", "c", "c", "a.b", ""},
      {"dir/", "", "", "dir", ""},
      {"", "", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_STREQ(c.base, NPT_FilePath::BaseName(c.path).GetChars());
    EXPECT_STREQ(c.base_no_ext, NPT_FilePath::BaseName(c.path, false).GetChars());
    EXPECT_STREQ(c.dir, NPT_FilePath::DirName(c.path).GetChars());
    EXPECT_STREQ(c.ext, NPT_FilePath::FileExtension(c.path).GetChars());
  }
  EXPECT_STREQ("/", NPT_FilePath::Separator);
  EXPECT_STREQ("a/b", NPT_FilePath::Create("a", "b").GetChars());
  EXPECT_STREQ("a/b", NPT_FilePath::Create("a/", "b").GetChars());
  EXPECT_STREQ("a/b", NPT_FilePath::Create("a", "/b").GetChars());
  EXPECT_STREQ("b", NPT_FilePath::Create("", "b").GetChars());
  EXPECT_STREQ("a", NPT_FilePath::Create("a", "").GetChars());
}

}  // namespace
