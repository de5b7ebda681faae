#include "bridge/stdio_ends.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/fatal.hpp"
#include "base/wait_ready.hpp"
#include "bridge/stdout_buffer.hpp"

namespace trellune {
namespace {

// The most one worker job writes to standard output: longer text is handed
// over in batches of this size.
constexpr std::size_t kMaxJobBytes = 2 * 1024 * 1024;

// Standard output, created on first use. Worker jobs hold the lock for one
// whole batch; the exit path only tries it. Neither takes it again while
// holding it.
struct ProcessStdout {
  std::mutex lock;
  LineBufferedOutput output{STDOUT_FILENO};
  bool used = false;
};

ProcessStdout& process_stdout() {
  // Never destroyed: worker jobs and the exit path may use it until the end.
  static ProcessStdout* const instance = new ProcessStdout;
  return *instance;
}

// Standard input, created on first use; every read goes to descriptor 0.
struct ProcessStdin {
  std::mutex lock;
};

ProcessStdin& process_stdin() {
  static ProcessStdin* const instance = new ProcessStdin;
  return *instance;
}

// ---------------------------------------------------------------------------
// Standard-input end: each refill is one read() on a worker, through a
// transfer buffer that belongs to the job while it runs, or the rest of what
// such a read brought beyond the reader's buffer.

// One read of up to `limit` bytes into the front of `transfer`.
struct StdinRead {
  std::string transfer;
  std::size_t limit = 0;
};

struct StdinJobResult {
  IoResult<std::size_t> outcome;  // the count of bytes read into the front of `transfer`
  std::string transfer;
  std::size_t limit;  // what the read asked for
};

StdinJobResult read_stdin_job(StdinRead read) {
  ProcessStdin& input = process_stdin();
  std::lock_guard guard(input.lock);
  std::string& transfer = read.transfer;
  // Grown, never shrunk: a resize clears the bytes it adds, which would cost
  // a clear of the whole buffer before every read.
  if (transfer.size() < read.limit) transfer.resize(read.limit);
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, transfer.data(), read.limit);
    if (n >= 0) return {static_cast<std::size_t>(n), std::move(transfer), read.limit};
    if (errno == EINTR) continue;  // nothing was read; the call is safe to repeat
    // No standard input at all reads as an empty one.
    if (errno == EBADF) return {std::size_t{0}, std::move(transfer), read.limit};
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_ready(STDIN_FILENO, POLLIN)) continue;
    return {io_error_from_errno(), std::move(transfer), read.limit};
  }
}

// The most one read of standard input takes while input keeps coming: a
// pipe's default capacity.
constexpr std::size_t kMaxStdinReadBytes = 64 * 1024;

// The next read of standard input, made by the standard-output end's flush
// job on its worker right after the flush succeeds; make_stdio_ends gives
// both ends one of these. The relay reads the next request as soon as a
// reply is flushed, so the read needs no hand-over back to the loop and out
// again. Loop thread only.
struct ReadAfterFlush {
  // The reader holds no byte, so its next line begins with this read; the
  // standard-input end lends its transfer buffer for it.
  std::optional<StdinRead> wanted;
  // The read is part of a flush job in flight.
  bool in_flight = false;
  std::optional<StdinJobResult> made;  // not yet taken by the end
};

class StdinEnd final : public ReadEnd {
 public:
  StdinEnd(EventLoop& loop, std::shared_ptr<ReadAfterFlush> after_flush)
      : loop_(loop), wake_on_input_(watch_input(loop)), after_flush_(std::move(after_flush)) {}

  Task<IoResult<std::size_t>> read(std::span<char> buffer) override {
    if (!job_) {
      if (transfer_pos_ < transfer_end_) {
        co_return copy_out(buffer);
      }
      if (std::optional<StdinJobResult> made = take_read_after_flush()) {
        co_return take_result(std::move(*made), buffer);
      }
      offered_ = buffer.size();
      // A read that filled its limit has likely left more input in the pipe,
      // so the next one returns at once; after a short read the pipe is
      // drained and the next read waits for the client.
      const JobWait wait = last_read_filled_ ? JobWait::kBrief : JobWait::kForInput;
      job_.emplace(loop_.run_job(
          [read = StdinRead{std::move(transfer_), next_read_limit()}]() mutable {
            return read_stdin_job(std::move(read));
          },
          wait));
    }
    StdinJobResult result = co_await std::move(*job_);
    job_.reset();
    co_return take_result(std::move(result), buffer);
  }

  void expect_read() override {
    if (job_ || transfer_pos_ < transfer_end_ || offered_ == 0) return;
    after_flush_->wanted = StdinRead{std::move(transfer_), next_read_limit()};
  }

 private:
  // The reader's buffer, unless the last read filled its limit: input then
  // keeps coming, and the read may take more than the reader asked for; the
  // rest waits here for the reader's next refills, a hand-over to the worker
  // fewer for each.
  std::size_t next_read_limit() const {
    if (last_read_filled_) return std::min(std::max(offered_, requested_ * 2), kMaxStdinReadBytes);
    return offered_;
  }

  // The read the flush made, if any; otherwise the lent buffer comes back.
  std::optional<StdinJobResult> take_read_after_flush() {
    // Reading now would race the read in flight for the same bytes.
    TRELLUNE_CHECK(!after_flush_->in_flight);
    if (after_flush_->wanted) {
      transfer_ = std::move(after_flush_->wanted->transfer);
      after_flush_->wanted.reset();
    }
    return std::exchange(after_flush_->made, std::nullopt);
  }

  IoResult<std::size_t> take_result(StdinJobResult result, std::span<char> buffer) {
    transfer_ = std::move(result.transfer);
    transfer_pos_ = 0;
    transfer_end_ = result.outcome ? *result.outcome : 0;
    requested_ = result.limit;
    if (!result.outcome) {
      return std::move(result.outcome).error();
    }
    last_read_filled_ = transfer_end_ == requested_;
    return copy_out(buffer);
  }

  std::size_t copy_out(std::span<char> buffer) {
    const std::size_t count = std::min(buffer.size(), transfer_end_ - transfer_pos_);
    std::memcpy(buffer.data(), transfer_.data() + transfer_pos_, count);
    transfer_pos_ += count;
    if (transfer_pos_ == transfer_end_) {
      transfer_pos_ = 0;
      transfer_end_ = 0;
    }
    return count;
  }

  // The read itself runs on a worker, which the kernel wakes when the client
  // writes. Watching descriptor 0 in the reactor as well wakes the loop at the
  // same moment, so it is already running when the read completes instead of
  // waiting for the worker to wake it: one thread hop fewer per request. Only
  // a hint; files and /dev/null cannot be watched and need none. The
  // registration removes itself when the end is released.
  static std::optional<Registration> watch_input(EventLoop& loop) {
    IoResult<Registration> registration = loop.register_fd(STDIN_FILENO);
    if (!registration) return std::nullopt;
    return std::move(*registration);
  }

  EventLoop& loop_;
  std::optional<Registration> wake_on_input_;
  // The last read's bytes are [0, transfer_end_); those before transfer_pos_
  // have been handed out.
  std::string transfer_;
  std::size_t transfer_pos_ = 0;
  std::size_t transfer_end_ = 0;
  std::size_t offered_ = 0;  // the reader's buffer, at its last refill
  std::size_t requested_ = 0;  // by the last read
  bool last_read_filled_ = false;
  std::optional<JobHandle<StdinJobResult>> job_;
  std::shared_ptr<ReadAfterFlush> after_flush_;  // shared with the paired standard-output end
};

// ---------------------------------------------------------------------------
// Standard-output end: writes and flushes run as jobs on a worker. A write
// succeeds once its bytes are in a job, or held for one that the operation
// following at once starts; the job's failure is reported by the next write
// or flush.

// One job's work: the writes (each a piece of `bytes`, ending at the
// matching entry of `piece_ends`) and then, if asked, a flush, made on the
// process standard output in that order, exactly as separate jobs would make
// them. The first failure ends the batch: the writes after it are not made.
// After a flush that succeeded, the job may go on to read standard input.
struct StdoutBatch {
  std::string bytes;
  std::vector<std::size_t> piece_ends;
  bool flush = false;
  std::optional<StdinRead> then_read;

  bool empty() const { return piece_ends.empty() && !flush; }
  // Done with: the buffers keep their capacity for the next batch.
  void clear() {
    bytes.clear();
    piece_ends.clear();
    flush = false;
    then_read.reset();
  }
};

struct StdoutJobResult {
  IoStatus outcome;
  StdoutBatch batch;  // emptied, handed back to keep its capacity
  std::optional<StdinJobResult> read;
};

IoStatus write_stdout_batch(StdoutBatch& batch) {
  ProcessStdout& out = process_stdout();
  std::lock_guard guard(out.lock);
  out.used = true;
  std::size_t begin = 0;
  for (const std::size_t end : batch.piece_ends) {
    IoStatus status = out.output.write_all(std::string_view(batch.bytes).substr(begin, end - begin));
    if (!status) return status;
    begin = end;
  }
  return batch.flush ? out.output.flush() : IoStatus{};
}

StdoutJobResult run_stdout_batch(StdoutBatch batch) {
  StdoutJobResult result{write_stdout_batch(batch), {}, std::nullopt};
  if (result.outcome && batch.then_read) result.read = read_stdin_job(std::move(*batch.then_read));
  batch.clear();
  result.batch = std::move(batch);
  return result;
}

class StdoutEnd final : public WriteEnd {
 public:
  StdoutEnd(EventLoop& loop, std::shared_ptr<ReadAfterFlush> after_flush)
      : loop_(loop), after_flush_(std::move(after_flush)) {}
  StdoutEnd(const StdoutEnd&) = delete;
  StdoutEnd& operator=(const StdoutEnd&) = delete;

  // Bytes held for a following operation that never came still leave, as
  // the bytes of a job in flight do.
  ~StdoutEnd() override {
    if (!job_ && !held_.empty()) start_job();
  }

  // A reply and its newline are held and leave with the flush that follows
  // them: one hand-over to the worker instead of three.
  Task<IoStatus> write_all(std::string_view bytes, MoreFollows more) override { return hold({bytes, {}}, more); }
  Task<IoStatus> write_line(std::string_view line, MoreFollows more) override { return hold({line, "\n"}, more); }

  Task<IoStatus> flush() override {
    for (;;) {
      if (job_) {
        Task<IoStatus> finishing = finish_job();
        IoStatus finished = co_await std::move(finishing);
        if (!finished) co_return finished;
        continue;
      }
      if (!needs_flush_) {
        co_return IoStatus{};
      }
      needs_flush_ = false;
      held_.flush = true;
      // A job that ends in a read of standard input waits for the client.
      start_job(add_read_after_flush() ? JobWait::kForInput : JobWait::kBrief);
    }
  }

 private:
  // Holds each piece as a write of its own, in order; a job starts when the
  // held bytes reach a job's limit, or after the last piece unless more
  // follows.
  Task<IoStatus> hold(std::array<std::string_view, 2> pieces, MoreFollows more) {
    for (std::string_view bytes : pieces) {
      while (!bytes.empty()) {
        if (job_) {
          Task<IoStatus> finishing = finish_job();
          IoStatus finished = co_await std::move(finishing);
          if (!finished) co_return finished;
          continue;
        }
        const std::size_t count = std::min(bytes.size(), kMaxJobBytes - held_.bytes.size());
        held_.bytes.append(bytes.substr(0, count));
        held_.piece_ends.push_back(held_.bytes.size());
        needs_flush_ = true;
        bytes.remove_prefix(count);
        if (held_.bytes.size() == kMaxJobBytes) start_job();
      }
    }
    if (more == MoreFollows::kNo && !job_ && !held_.empty()) start_job();
    co_return IoStatus{};
  }

  // Adds the paired input's next read to the held flush, if it wants one.
  bool add_read_after_flush() {
    if (!after_flush_->wanted) return false;
    held_.then_read = std::exchange(after_flush_->wanted, std::nullopt);
    after_flush_->in_flight = true;
    return true;
  }

  void start_job(JobWait wait = JobWait::kBrief) {
    job_.emplace(loop_.run_job(
        [batch = std::exchange(held_, {})]() mutable { return run_stdout_batch(std::move(batch)); }, wait));
  }

  // Waits for the job in flight, takes its emptied batch back and passes on
  // the read it made.
  Task<IoStatus> finish_job() {
    StdoutJobResult result = co_await std::move(*job_);
    job_.reset();
    held_ = std::move(result.batch);
    if (after_flush_->in_flight) {
      after_flush_->in_flight = false;
      after_flush_->made = std::move(result.read);
    }
    co_return std::move(result.outcome);
  }

  EventLoop& loop_;
  // The next job's work, gathered while no job is in flight.
  StdoutBatch held_;
  bool needs_flush_ = false;
  std::optional<JobHandle<StdoutJobResult>> job_;
  std::shared_ptr<ReadAfterFlush> after_flush_;  // shared with the paired standard-input end
};

}  // namespace

StdioEnds make_stdio_ends(EventLoop& loop) {
  auto after_flush = std::make_shared<ReadAfterFlush>();
  return {std::make_unique<StdinEnd>(loop, after_flush), std::make_unique<StdoutEnd>(loop, std::move(after_flush))};
}

void flush_process_stdout_at_exit() {
  ProcessStdout& out = process_stdout();
  std::unique_lock guard(out.lock, std::try_to_lock);
  if (guard.owns_lock() && out.used) {
    out.output.flush_and_unbuffer();
  }
}

}  // namespace trellune
