#include "bridge/line_channel.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

namespace trellune {

LineReader::LineReader(std::unique_ptr<ReadEnd> end, UnterminatedLine unterminated)
    : end_(std::move(end)),
      unterminated_(unterminated),
      buffer_(std::make_unique_for_overwrite<char[]>(kLineReaderBufferSize)) {}

Task<LineOutcome> LineReader::next_line() {
  for (;;) {
    if (pos_ == filled_) {
      // Only an empty buffer is refilled, so one refill serves many lines.
      const std::size_t size = prepare_refill();
      Task<IoResult<std::size_t>> refill = end_->read(std::span<char>(buffer_.get(), size));
      IoResult<std::size_t> count = co_await std::move(refill);
      if (!count) {
        co_return std::move(count).error();
      }
      filled_ = *count;
      pos_ = 0;
    }
    if (take_buffered()) {
      break;
    }
  }
  if (filled_ > 0 && pos_ == filled_) {
    end_->expect_read();
    // The next line may well be a short one: it starts with a small read,
    // and a large buffer is not kept between lines.
    if (capacity_ > kLineReaderBufferSize) {
      buffer_ = std::make_unique_for_overwrite<char[]>(kLineReaderBufferSize);
      capacity_ = kLineReaderBufferSize;
      filled_ = pos_ = 0;
    }
  }
  co_return finish_line();
}

std::size_t LineReader::prepare_refill() {
  // A read that filled the buffer has likely left more in the end's queue:
  // twice the size then takes it in half the reads, up to the end's largest.
  // The buffer is empty here, so it is replaced, not copied.
  if (filled_ == capacity_ && capacity_ < end_->largest_read()) {
    capacity_ = std::min(capacity_ * 2, end_->largest_read());
    buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
  }
  return capacity_;
}

bool LineReader::take_buffered() {
  const char* available = buffer_.get() + pos_;
  const std::size_t length = filled_ - pos_;
  const void* newline = std::memchr(available, '\n', length);
  const std::size_t used =
      newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - available) + 1 : length;
  // Capacities in powers of two, whatever the sizes of the reads: a line
  // then never holds more than twice its length, and one of exactly a power
  // of two fits without a last doubling.
  if (pending_.size() + used > pending_.capacity()) pending_.reserve(std::bit_ceil(pending_.size() + used));
  pending_.append(available, used);
  utf8_.feed(std::string_view(available, used));
  pos_ += used;
  taken_ += used;
  return newline != nullptr || used == 0;
}

void LineReader::reuse(std::string spent) {
  if (!pending_.empty() || spent.capacity() <= pending_.capacity() || spent.size() < spent.capacity() / 4) return;
  spent.clear();
  pending_ = std::move(spent);
}

LineOutcome LineReader::finish_line() {
  std::string line = std::exchange(pending_, {});
  const std::size_t taken = std::exchange(taken_, 0);
  const bool valid_utf8 = std::exchange(utf8_, {}).valid();
  const bool terminated = !line.empty() && line.back() == '\n';
  // Checked before the encoding: a cut can fall inside a character.
  if (taken > 0 && !terminated && unterminated_ == UnterminatedLine::kIsCutOff) {
    return IoError::with_custom_message(IoErrorKind::UnexpectedEof, "stream ended in the middle of a line");
  }
  if (!valid_utf8) {
    return IoError::with_custom_message(IoErrorKind::InvalidData, "stream did not contain valid UTF-8");
  }
  if (taken == 0) {
    return std::optional<std::string>{};
  }
  if (terminated) {
    line.pop_back();
    // A carriage return counts as part of the terminator only before "\n".
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
  }
  return std::optional<std::string>(std::move(line));
}

}  // namespace trellune
