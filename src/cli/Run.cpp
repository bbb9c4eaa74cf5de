#include "cli/Run.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>

#include "cli/ExitStatus.h"
#include "cli/Input.h"
#include "cli/Messages.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/Resume.h"
#include "cli/RowFormat.h"
#include "cli/SignalCleanup.h"
#include "cli/Summary.h"
#include "engine/Retrieval.h"
#include "storage/UniqueFd.h"

namespace orvanel {
namespace {

std::optional<FileIdentity> WritableIdentity(const struct stat& st) {
  if (!(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

// The file a name stands for, when it is one that a run could write over and read back
// (a regular file or a named pipe; a device such as /dev/null may be named twice).
std::optional<FileIdentity> WritableFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return WritableIdentity(st);
}

bool SameNewName(const std::string& a, const std::string& b) {
  std::error_code ec1, ec2, ec3;
  if (std::filesystem::exists(a, ec3) || std::filesystem::exists(b, ec3)) return false;
  const auto x = std::filesystem::weakly_canonical(a, ec1);
  const auto y = std::filesystem::weakly_canonical(b, ec2);
  return !ec1 && !ec2 && x == y;
}

// Refuses names of the run that are one file where they must not be: an output that is an
// input would be read back as addresses, or lose them; -o and --failures in one file
// would mix. Standard output, when it is where the rows go, is an output like any other
// (the shell's ">> list" would feed the run its own rows).
void CheckDistinctFiles(const Options& o, const AddressInput& input, int standard_output) {
  auto inputs = input.WritableIdentities();
  std::vector<std::string> read_files = o.tag_files;
  if (!o.fetch.ca_file.empty()) read_files.push_back(o.fetch.ca_file);
  for (const auto& file : read_files) {
    if (const auto id = WritableFile(file)) inputs.push_back(*id);
  }
  const auto refuse_if_input = [&](const std::optional<FileIdentity>& id, const std::string& name) {
    for (const auto& in : inputs) {
      if (id && *id == in) throw Refusal(name + " is one of the inputs");
    }
  };
  for (const auto* written : {&o.output, &o.failures}) {
    if (*written) refuse_if_input(WritableFile(**written), **written);
  }
  struct stat out {};
  if (!o.output && ::fstat(standard_output, &out) == 0) {
    refuse_if_input(WritableIdentity(out), "the standard output");
  }
  if (o.output && o.failures) {
    const auto a = WritableFile(*o.output);
    const auto b = WritableFile(*o.failures);
    if ((a && b && *a == *b) || SameNewName(*o.output, *o.failures)) {
      throw Refusal("-o and --failures name one file: " + *o.failures);
    }
  }
}

class ExtractionRun {
  static constexpr std::size_t kBatchBytes = 64 * 1024;

 public:
  ExtractionRun(const Options& o, const Streams& s, Fetcher& fetcher)
      : o_(o),
        s_(s),
        err_(s.err),
        fetcher_(fetcher),
        progress_(err_, !o.quiet && ::isatty(s.err)),
        request_(MakeFetchRequest({}, o.mode, o.tags, o.early_stop)),
        normalise_(o.fetch.allow_local_files) {}
  ~ExtractionRun();
  ExtractionRun(const ExtractionRun&) = delete;
  ExtractionRun& operator=(const ExtractionRun&) = delete;

  ExitStatus Run();

 private:
  void Prepare();
  void Loop();
  void ReadInput();
  void TakeResumed();
  void StartWriting();
  void Submit();
  void WriteReady();
  void Wait();
  void Finish();
  ExitStatus Stop(ExitStatus status, const std::string& message);

  struct InFlight {
    std::string address;
    NormalisedAddress normalised;
    Fetcher::Ticket ticket;
  };

  const Options& o_;
  const Streams& s_;
  MessageStream err_;
  Fetcher& fetcher_;
  Progress progress_;
  // Every address's request is a copy of this one (its rows' test made once).
  const FetchRequest request_;
  AddressNormaliser normalise_;
  Summary summary_;
  std::unique_ptr<AddressInput> input_;
  std::unique_ptr<OutputFile> output_;
  std::unique_ptr<OutputFile> failures_;  // the addresses that failed, as listed
  std::unique_ptr<ResumeReader> resume_;
  std::shared_ptr<UniqueFd> wake_;  // written when a transfer ends; shared with the notify
  bool writing_ = false;
  std::deque<std::string> read_;  // addresses read, not yet submitted
  std::deque<InFlight> window_;
  // The rows ready, written together; its room stays from one batch to the next, up to
  // kBatchBytes twice over.
  std::string batch_;
  std::size_t window_size_ = 0;
  std::size_t known_ = 0;  // addresses read so far
};

ExtractionRun::~ExtractionRun() {
  fetcher_.SetNotify({});
  // The transfers still under way are not wanted; errors are ignored on purpose (the
  // fetcher is going too, or its ticket is already gone).
  for (const auto& f : window_) {
    try {
      fetcher_.Abandon(f.ticket);
    } catch (const std::exception&) {
    }
  }
}

ExitStatus ExtractionRun::Stop(ExitStatus status, const std::string& message) {
  progress_.Clear();
  err_.Say(message);
  return status;
}

ExitStatus ExtractionRun::Run() {
  try {
    Prepare();
  } catch (const Failure& f) {
    return Stop(ExitStatus::kRefused, f.what());
  }
  try {
    Loop();
    Finish();
  } catch (const BrokenPipe&) {
    // The reader went away (head, a closed pager): nothing more to say to anyone.
    return ExitStatus::kBrokenPipe;
  } catch (const Refusal& f) {
    return Stop(ExitStatus::kRefused, f.what());
  } catch (const std::exception& e) {
    return Stop(ExitStatus::kUnfinished, e.what());
  }
  progress_.Clear();
  if (!o_.quiet) err_.Say(summary_.Line(o_.output.value_or("")));
  if (summary_.failed_in_all() == 0 || o_.finished_ok) return ExitStatus::kDone;
  return ExitStatus::kSomeFailed;
}

// Everything that can refuse the run before anything is written.
void ExtractionRun::Prepare() {
  input_ = std::make_unique<AddressInput>(o_.files, o_.keep_blank, s_.in);
  CheckDistinctFiles(o_, *input_, s_.out);
  output_ = std::make_unique<OutputFile>(o_.output, o_.resume, s_.out);
  if (o_.failures) failures_ = std::make_unique<OutputFile>(o_.failures, false, -1);
  if (o_.resume) {
    resume_ = std::make_unique<ResumeReader>(output_->fd(), *o_.output, o_.jsonl, o_.mode, o_.tags);
  }
  // The fetcher says when a transfer ends; the input says when it has more. One poll
  // waits for either, so rows are written as soon as they are ready.
  wake_ = std::make_shared<UniqueFd>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!*wake_)
    throw Failure(std::string("cannot make an event descriptor: ") + std::strerror(errno));
  fetcher_.SetNotify([wake = wake_] {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake->get(), &one, sizeof one);
  });
  window_size_ = static_cast<std::size_t>(o_.fetch.max_transfers) * 8 + 64;
}

void ExtractionRun::Loop() {
  if (!resume_) StartWriting();
  for (;;) {
    ReadInput();
    TakeResumed();
    Submit();
    WriteReady();
    if (window_.empty() && read_.empty() && input_->Done()) return;
    // Addresses read and room to send them: no reason to wait (the window may have been
    // emptied just now, and then nothing would wake the wait).
    if (writing_ && !read_.empty() && window_.size() < window_size_) continue;
    Wait();
  }
}

// Reads what the input has now, without waiting for it.
void ExtractionRun::ReadInput() {
  while (!input_->Done() && read_.size() + window_.size() < window_size_) {
    const int fd = input_->WaitFd();
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) break;
    }
    const std::size_t before = read_.size();
    input_->ReadSome(read_);
    known_ += read_.size() - before;
  }
}

// A resumed run first reads past the addresses the file already holds, checking each.
void ExtractionRun::TakeResumed() {
  while (!writing_ && !read_.empty()) {
    if (!resume_->Take(read_.front())) return StartWriting();
    summary_.CountKept(o_.jsonl ? std::optional<bool>(resume_->last_failed()) : std::nullopt);
    if (failures_ && resume_->last_failed()) failures_->Write(read_.front() + "\n");
    read_.pop_front();
  }
  if (!writing_ && input_->Done()) {
    resume_->Finish();
    StartWriting();
  }
}

void ExtractionRun::StartWriting() {
  writing_ = true;
  std::uint64_t kept = 0;
  if (resume_) {
    kept = resume_->keep_bytes();
    output_->StartAppending(kept);
  }
  if (!o_.jsonl && kept == 0) output_->Write(TsvHeader(o_.mode));
}

void ExtractionRun::Submit() {
  while (writing_ && !read_.empty() && window_.size() < window_size_) {
    InFlight f{std::move(read_.front()), {}, 0};
    read_.pop_front();
    f.normalised = normalise_(f.address);
    FetchRequest request = request_;
    request.url = f.normalised.url;
    f.ticket = fetcher_.Submit(std::move(request));
    window_.push_back(std::move(f));
  }
}

// Writes every row that is ready, in address order.
void ExtractionRun::WriteReady() {
  // The rows ready now go out in one write (or one every 64 KiB), not one write a page.
  if (batch_.capacity() < 2 * kBatchBytes) batch_.reserve(2 * kBatchBytes);
  auto write = [this] {
    output_->Write(batch_);
    batch_.clear();
  };
  while (!window_.empty() && fetcher_.Ready(window_.front().ticket)) {
    InFlight f = std::move(window_.front());
    window_.pop_front();
    // Steady: the same answers give the same rows, however they arrived.
    // The page goes once its rows are written.
    const Page page =
        MakePage(f.normalised, fetcher_.Take(f.ticket), /*steady=*/true, /*brief=*/true);
    const auto rows = ExtractRowViews(o_.mode, page.text, o_.tags);
    if (resume_ && !o_.jsonl && PageCellHoldsTab(o_.mode, rows)) {
      write();
      throw Failure("the page of " + MaskPasswords(f.address, {f.address}) +
                    " has a TAB in a cell, past which a tsv cannot be resumed; the file holds "
                    "the rows before it (use -f jsonl)");
    }
    if (!page.ok) {
      if (failures_) failures_->Write(f.address + "\n");
      progress_.Clear();
      err_.Line(MaskPasswords(page.message, {f.address, page.address.url}));
    }
    // The rows counted are those written: in jsonl a page without a head has its line too.
    summary_.Count(page, AppendRows(batch_, o_, f.address, page, rows));
    if (batch_.size() >= kBatchBytes) write();
    progress_.Update(summary_.done(), known_, input_->Done() && read_.empty(), summary_.failed());
  }
  write();
  // A page's long cell grew it: that room goes back.
  if (batch_.capacity() > 2 * kBatchBytes) std::string().swap(batch_);
}

// Waits for a transfer to end, or for more input when there is room for it.
void ExtractionRun::Wait() {
  pollfd fds[2] = {{wake_->get(), POLLIN, 0}, {-1, POLLIN, 0}};
  const bool room = read_.size() + window_.size() < window_size_;
  if (room && !input_->Done()) {
    fds[1].fd = input_->WaitFd();
    if (fds[1].fd < 0) return;  // a regular file: read on
  }
  if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
    throw Failure(std::string("cannot wait: ") + std::strerror(errno));
  }
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(wake_->get(), &count, sizeof count);
  output_->SyncIfDue();
}

void ExtractionRun::Finish() {
  // The failures file first: a run whose output is in place has its failures in place.
  const SignalsHeld held;
  if (failures_) failures_->Commit();
  output_->Commit();
}

}  // namespace

int RunExtraction(const Options& options, const Streams& streams, Fetcher& fetcher) {
  ExtractionRun run(options, streams, fetcher);
  return ToInt(run.Run());
}

}  // namespace orvanel
