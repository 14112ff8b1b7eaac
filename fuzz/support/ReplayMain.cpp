// Runs a fuzz target over every file of the directories (or files) given on
// the command line, so that the seed corpora and every crash ever found are
// replayed by the ordinary test suite with any compiler.

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An empty vector's data() may be null; fuzz targets are entitled to a valid pointer.
  static const uint8_t empty = 0;
  const uint8_t* data = bytes.empty() ? &empty : reinterpret_cast<const uint8_t*>(bytes.data());
  LLVMFuzzerTestOneInput(data, bytes.size());
  return 0;
}

int main(int argc, char** argv) {
  int failures = 0;
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat info;
    if (stat(argv[i], &info) != 0) {
      std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(info.st_mode)) {
      failures += RunFile(argv[i]);
      ++files;
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (!dir) return 1;
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(dir);
    for (const std::string& name : names) {
      failures += RunFile(std::string(argv[i]) + "/" + name);
      ++files;
    }
  }
  if (files == 0) {
    std::fprintf(stderr, "empty corpus\n");
    return 1;
  }
  std::printf("replayed %d inputs\n", files);
  return failures ? 1 : 0;
}
