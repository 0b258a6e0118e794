#include "../file_tail.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace corvane::monitor {
namespace {

// A file held in memory; reports are lines that start with '{' and end with '}'.
struct FakeFile {
  std::string bytes;
  std::uint64_t inode = 1;
  int fail_with = 0;
  std::size_t max_read = 7;  // small reads, so lines cross read boundaries

  FileTail::Identity identity() const {
    return {1, inode, static_cast<std::int64_t>(bytes.size())};
  }
  FileTail::ReadAt reader() {
    return [this](char* buffer, std::size_t size, std::int64_t offset, int* error) -> long long {
      if (fail_with != 0) {
        *error = fail_with;
        return -1;
      }
      auto at = static_cast<std::size_t>(offset);
      if (at >= bytes.size()) return 0;
      std::size_t n = std::min({size, max_read, bytes.size() - at});
      std::memcpy(buffer, bytes.data() + at, n);
      return static_cast<long long>(n);
    };
  }
};

struct Taken {
  std::vector<std::string> lines;
  FileTail::TakeLine take() {
    return [this](std::string_view line) {
      lines.emplace_back(line);
      return !line.empty() && line.front() == '{' && line.back() == '}';
    };
  }
};

using Lines = std::vector<std::string>;

TEST(FileTail, LinesAcrossReadsAndPasses) {
  FakeFile file{"{\"a\":1}\n{\"b\":", 1};
  FileTail tail;
  Taken taken;
  EXPECT_EQ(tail.pass(file.identity(), file.reader(), taken.take()), 0);
  // The unfinished line is offered, refused, and kept.
  EXPECT_EQ(taken.lines, (Lines{"{\"a\":1}", "{\"b\":"}));
  file.bytes += "2}\n";
  tail.pass(file.identity(), file.reader(), taken.take());
  EXPECT_EQ(taken.lines.back(), "{\"b\":2}");
  EXPECT_EQ(tail.offset(), static_cast<std::int64_t>(file.bytes.size()));
}

TEST(FileTail, ReplacedOrTruncatedFilesAreReadFromTheStart) {
  FakeFile file{"{\"a\":1}\n", 1};
  FileTail tail;
  Taken taken;
  tail.pass(file.identity(), file.reader(), taken.take());
  file.inode = 2;  // rotated: same length, another file
  tail.pass(file.identity(), file.reader(), taken.take());
  file.bytes = "{}\n";  // cut shorter
  tail.pass(file.identity(), file.reader(), taken.take());
  EXPECT_EQ(taken.lines, (Lines{"{\"a\":1}", "{\"a\":1}", "{}"}));
}

TEST(FileTail, ALineTooLongIsDroppedUpToItsEnd) {
  FakeFile file;
  file.max_read = FileTail::kReadChunk;
  file.bytes = "{" + std::string(FileTail::kMaxLineBytes + 10, 'x');
  FileTail tail;
  Taken taken;
  tail.pass(file.identity(), file.reader(), taken.take());
  EXPECT_TRUE(taken.lines.empty());
  file.bytes += "}\n{\"ok\":1}\n";
  tail.pass(file.identity(), file.reader(), taken.take());
  EXPECT_EQ(taken.lines, (Lines{"{\"ok\":1}"}));
}

}  // namespace
}  // namespace corvane::monitor
