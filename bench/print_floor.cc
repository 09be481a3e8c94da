// print-floor FILE: writes FILE to standard output one line at a time, flushing after each
// line. The program's listing flushes every line the same way, so this costs the same write
// calls for the same bytes and is what printing alone cannot go below.
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: print-floor FILE\n", stderr);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  // Read whole first, so only the printing competes with the program's own printing.
  std::vector<char> bytes;
  char buffer[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  const bool read_failed = std::ferror(in) != 0;
  std::fclose(in);
  if (read_failed) {
    std::perror(argv[1]);
    return 1;
  }

  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p < end) {
    const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    const char* line_end = newline != nullptr ? static_cast<const char*>(newline) + 1 : end;
    const auto length = static_cast<std::size_t>(line_end - p);
    if (std::fwrite(p, 1, length, stdout) != length || std::fflush(stdout) != 0) return 1;
    p = line_end;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
