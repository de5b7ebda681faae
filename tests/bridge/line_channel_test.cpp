#include "bridge/line_channel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "bridge_test_support.hpp"

namespace trellune {
namespace {

using testing::make_loop;

// ---------------------------------------------------------------------------
// LineReader over a scripted end

// Delivers the scripted chunks one per read (each cut to the offered size),
// then the end of the stream; counts the reads and notes what each offered.
class ScriptedEnd final : public ReadEnd {
 public:
  ScriptedEnd(std::deque<std::string> chunks, int* reads, std::size_t largest = kLineReaderBufferSize,
              std::vector<std::size_t>* offered = nullptr)
      : chunks_(std::move(chunks)), reads_(reads), largest_(largest), offered_(offered) {}

  std::size_t largest_read() const override { return largest_; }

  Task<IoResult<std::size_t>> read(std::span<char> buffer) override {
    ++*reads_;
    if (offered_ != nullptr) offered_->push_back(buffer.size());
    if (chunks_.empty()) co_return std::size_t{0};
    std::string& chunk = chunks_.front();
    const std::size_t count = std::min(chunk.size(), buffer.size());
    std::copy_n(chunk.data(), count, buffer.data());
    chunk.erase(0, count);
    if (chunk.empty()) chunks_.pop_front();
    co_return count;
  }

 private:
  std::deque<std::string> chunks_;
  int* reads_;
  std::size_t largest_;
  std::vector<std::size_t>* offered_;
};

// The largest read of an end whose reads may grow, as the socket's do.
constexpr std::size_t kGrowing = 4 * kLineReaderBufferSize;

constexpr const char* kEnd = "<end>";
constexpr const char* kInvalid = "<invalid UTF-8>";
constexpr const char* kCutOff = "<cut off>";

// An error outcome as its marker; any other error as its debug rendering.
std::string error_marker(const IoError& error) {
  const std::string rendered = error.debug_string();
  if (rendered == "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }") return kInvalid;
  if (rendered == "Custom { kind: UnexpectedEof, error: \"stream ended in the middle of a line\" }") return kCutOff;
  return rendered;
}

std::vector<std::string> read_all_lines(EventLoop& loop, std::deque<std::string> chunks, int* reads,
                                        UnterminatedLine unterminated = UnterminatedLine::kIsLine,
                                        std::size_t largest = kLineReaderBufferSize,
                                        std::vector<std::size_t>* offered = nullptr) {
  LineReader reader(std::make_unique<ScriptedEnd>(std::move(chunks), reads, largest, offered), unterminated);
  std::vector<std::string> outcomes;
  for (int guard = 0; guard < 100; ++guard) {
    LineOutcome outcome = loop.block_on(reader.next_line());
    if (!outcome) {
      outcomes.push_back(error_marker(outcome.error()));
      continue;
    }
    if (!outcome->has_value()) {
      outcomes.emplace_back(kEnd);
      break;
    }
    outcomes.push_back(**outcome);
  }
  return outcomes;
}

struct ReaderCase {
  const char* name;
  std::deque<std::string> chunks;
  std::vector<std::string> outcomes;
  UnterminatedLine unterminated = UnterminatedLine::kIsLine;
  std::size_t largest = kLineReaderBufferSize;
};

TEST(LineReaderTest, FramesLines) {
  const std::string long_line(20000, 'x');
  const std::string big_reply(200000, 'r');
  std::string euros(8191, 'a');
  for (int i = 0; i < 20000; ++i) euros += "\xe2\x82\xac";
  // The first read ends with its lead byte; the second begins in it.
  const std::string surrogate = euros.substr(0, 8191) + "\xed\xa0\x80" + euros.substr(8191);
  constexpr UnterminatedLine kReply = UnterminatedLine::kIsCutOff;  // as the reply reader is made
  const std::vector<ReaderCase> cases = {
      {"LF", {"abc\n"}, {"abc", kEnd}},
      {"CR LF", {"abc\r\n"}, {"abc", kEnd}},
      {"lone LF and CR LF are empty lines", {"\n\r\n"}, {"", "", kEnd}},
      {"only one CR removed", {"abc\r\r\n"}, {"abc\r", kEnd}},
      {"CR inside the line", {"a\rb\n"}, {"a\rb", kEnd}},
      {"NUL inside the line", {std::string("a\0b\n", 4)}, {std::string("a\0b", 3), kEnd}},
      {"last line without newline", {"abc"}, {"abc", kEnd}},
      {"last line keeps its CR", {"abc\r"}, {"abc\r", kEnd}},
      {"empty stream", {}, {kEnd}},
      {"CR and LF in separate reads", {"abc\r", "\n", "d\n"}, {"abc", "d", kEnd}},
      {"line split across many reads", {"ab", "c", "de", "f\ng", "h\n"}, {"abcdef", "gh", kEnd}},
      {"line longer than twice the buffer", {long_line + "\nnext\n"}, {long_line, "next", kEnd}},
      {"overlong NUL", {"\xc0\x80\n", "ok\n"}, {kInvalid, "ok", kEnd}},
      {"bad continuation", {"\xc3\x28\n"}, {kInvalid, kEnd}},
      {"encoded surrogate", {"\xed\xa0\x80\n"}, {kInvalid, kEnd}},
      {"above U+10FFFF", {"\xf4\x90\x80\x80\n"}, {kInvalid, kEnd}},
      {"cut off at the end of the stream", {"\xe2\x82"}, {kInvalid, kEnd}},
      {"multi-byte character split across reads", {"\xe2", "\x82", "\xac\n"}, {"\xe2\x82\xac", kEnd}},
      // The check runs as bytes arrive; its verdict still comes with the newline.
      {"invalid sequence split across reads", {"\xf4", "\x90", "\x80\x80\n", "ok\n"}, {kInvalid, "ok", kEnd}},
      {"sequence cut short at a read boundary", {"\xf0\x9f", "\x98", "A\n", "ok\n"}, {kInvalid, "ok", kEnd}},
      {"invalid line read to its newline", {"\xff", long_line, "\nok\n"}, {kInvalid, "ok", kEnd}},
      {"whole lines where lines must be whole", {"ab", "c\r\n", "\n"}, {"abc", "", kEnd},
       UnterminatedLine::kIsCutOff},
      {"cut-off line dropped", {"abc\n", "de", "f"}, {"abc", kCutOff, kEnd}, UnterminatedLine::kIsCutOff},
      {"cut inside a character", {"\xe2\x82"}, {kCutOff, kEnd}, UnterminatedLine::kIsCutOff},
      {"cut off after an invalid read", {"\xff", "ab"}, {kCutOff, kEnd}, UnterminatedLine::kIsCutOff},
      // A reply, in reads that grow while they fill: 8, 16, then 32 KiB.
      {"reply split across many growing reads", {big_reply + "\r\n"}, {big_reply, kEnd}, kReply, kGrowing},
      {"emoji cut at every read boundary", {"\xf0", "\x9f", "\x98", "\x80\xf0\x9f", "\x98\x80\n"},
       {"\xf0\x9f\x98\x80\xf0\x9f\x98\x80", kEnd}, kReply, kGrowing},
      {"emoji cut before its last byte", {"ab\xf0\x9f\x98", "\x80\n"}, {"ab\xf0\x9f\x98\x80", kEnd}, kReply, kGrowing},
      // 8191 + 3n bytes: the grown reads end one and two bytes into a "€".
      {"characters cut at grown read boundaries", {euros + "\n"}, {euros, kEnd}, kReply, kGrowing},
      {"surrogate cut at a grown read boundary", {surrogate + "\n", "ok\n"}, {kInvalid, "ok", kEnd}, kReply,
       kGrowing},
      {"CR at a grown read boundary", {std::string(24575, 'x') + "\r\n"}, {std::string(24575, 'x'), kEnd},
       kReply, kGrowing},
      {"CR at a grown read boundary, not before LF", {std::string(24575, 'x') + "\ry\n"},
       {std::string(24575, 'x') + "\ry", kEnd}, kReply, kGrowing},
      {"large reply cut off", {big_reply}, {kCutOff, kEnd}, kReply, kGrowing},
  };
  std::unique_ptr<EventLoop> loop = make_loop();
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    int reads = 0;
    EXPECT_EQ(read_all_lines(*loop, c.chunks, &reads, c.unterminated, c.largest), c.outcomes);
  }
}

struct ReadSizeCase {
  const char* name;
  std::deque<std::string> chunks;
  std::size_t largest;
  std::vector<std::size_t> offered;  // by each read, the last one's end of the stream included
};

// A read that fills the buffer doubles the next, up to the end's largest; a
// short one keeps its size; a line that leaves the buffer drained takes it
// back to kLineReaderBufferSize.
TEST(LineReaderTest, ReadsGrowWhileTheyFillAndShrinkAfterTheLine) {
  constexpr std::size_t k = kLineReaderBufferSize;
  const std::vector<ReadSizeCase> cases = {
      {"doubling up to the largest", {std::string(100000, 'x') + "\n"}, 4 * k, {k, 2 * k, 4 * k, 4 * k, 4 * k, k}},
      {"a short read keeps the size", {std::string(k, 'x'), "yy", std::string(2 * k, 'z') + "\n"}, 4 * k,
       {k, 2 * k, 2 * k, 4 * k, k}},
      {"an end that takes no more", {std::string(20000, 'x') + "\n"}, k, {k, k, k, k}},
      {"kept while a line is buffered", {std::string(k, 'a'), "b\nc", "\n"}, 4 * k, {k, 2 * k, 2 * k, k}},
  };
  std::unique_ptr<EventLoop> loop = make_loop();
  for (const ReadSizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    int reads = 0;
    std::vector<std::size_t> offered;
    (void)read_all_lines(*loop, c.chunks, &reads, UnterminatedLine::kIsLine, c.largest, &offered);
    EXPECT_EQ(offered, c.offered);
  }
}

TEST(LineReaderTest, BufferedLinesNeedNoFurtherRead) {
  std::unique_ptr<EventLoop> loop = make_loop();
  int reads = 0;
  LineReader reader(std::make_unique<ScriptedEnd>(std::deque<std::string>{"one\ntwo\nthree\n"}, &reads));
  for (const char* expected : {"one", "two", "three"}) {
    LineOutcome line = loop->block_on(reader.next_line());
    ASSERT_TRUE(line && line->has_value());
    EXPECT_EQ(**line, expected);
    EXPECT_EQ(reads, 1);
  }
}

TEST(LineReaderTest, LongLineIsAssembledFromManyRefills) {
  std::unique_ptr<EventLoop> loop = make_loop();
  std::string expected;
  std::deque<std::string> chunks;
  for (int i = 0; i < 5000; ++i) {
    chunks.push_back(std::to_string(i) + ",");
    expected += chunks.back();
  }
  chunks.push_back("\n");
  int reads = 0;
  LineReader reader(std::make_unique<ScriptedEnd>(std::move(chunks), &reads));
  LineOutcome line = loop->block_on(reader.next_line());
  ASSERT_TRUE(line && line->has_value());
  EXPECT_EQ(**line, expected);
  EXPECT_EQ(reads, 5001);
}

}  // namespace
}  // namespace trellune
