#include "cli/OptionTable.h"

#include <string>

#include "cli/ExitStatus.h"
#include "cli/Options.h"
#include "lists/TagList.h"

namespace orvanel {
namespace {

std::string Number(long value) { return std::to_string(value); }

std::string ModeChoices(Mode default_mode) {
  std::string text;
  const std::size_t count = std::size(kModeNames);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += i + 1 == count ? " or " : ", ";
    text += kModeNames[i].name;
    if (kModeNames[i].mode == default_mode) text += " (default)";
  }
  return text;
}

std::string QuotedList(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
    text += "\"" + items[i] + "\"";
  }
  return text;
}

std::vector<OptionEntry> MakeEntries() {
  const Options d;
  const FetcherOptions& f = d.fetch;
  return {
      {kOptMode, "mode", "MODE", ModeChoices(d.mode)},
      {kOptTag, "tag", "ENTRY",
       "a tag entry for mode tags (refused in the others), e.g. \"<h1></h1>\" or "
       "\"description\"; repeat for more (default: " +
           QuotedList(DefaultTags()) + ")"},
      {kOptTagsFile, "tags-file", "F", "tag entries, one per line (blank lines skipped)"},
      {kOptFormat, "format", "FORMAT",
       std::string("tsv") + (d.jsonl ? "" : " (default; the desktop's text file, byte for byte)") +
           " or jsonl" + (d.jsonl ? " (default)" : "")},
      {kOptOutput, "output", "FILE",
       "write to FILE (replaced whole at the end) instead of standard output"},
      {kOptJobs, "jobs", "N",
       "transfers at once (default " + Number(f.max_transfers) + ", at most " + Number(kMaxJobs) +
           ")"},
      {kOptPerHost, "per-host", "N",
       "transfers at once to one host (default " + Number(f.max_per_host) + ")"},
      {kOptDelay, "delay", "MS",
       "at least MS milliseconds between the starts of two requests to one host, retries "
       "included (default " +
           Number(f.host_delay_ms) + ", at most " + Number(kMaxDelayMs) + ")"},
      {kOptTimeout, "timeout", "SECONDS",
       "whole-transfer time-out (default " + Number(f.timeout_ms / 1000) + ")"},
      {kOptConnectTimeout, "connect-timeout", "SECONDS",
       "time-out for making a connection (default " + Number(f.connect_timeout_ms / 1000) + ")"},
      {kOptHostErrors, "host-errors", "N",
       "after N failures in a row to connect to one host (name, refused, connect time-out, "
       "TLS), its other addresses fail at once with reason skipped-host; a page had resets "
       "the count (default " +
           Number(f.host_errors) + "; 0 tries every address)"},
      {kOptUserAgent, "user-agent", "TEXT",
       "the User-Agent header (default \"" + f.user_agent + "\")"},
      {kOptNoEarlyStop, "no-early-stop", nullptr, "read every document whole"},
      {kOptKeepBlank, "keep-blank-lines", nullptr,
       "keep empty addresses, as the desktop loader does"},
      {kOptNoLocalFiles, "no-local-files", nullptr,
       "fetch every address over the network, never a local file (use it for lists from "
       "sources you do not trust)"},
      {kOptResolve, "resolve", "H:P:A",
       "connect to address A for host H and port P, redirects included; H may be * for any host "
       "(repeatable)"},
      {kOptHeader, "header", "TEXT",
       "send the header \"Name: value\" with every request to the address's own site "
       "(scheme, host and port), never to another site a redirect leads to (repeatable)"},
      {kOptCacert, "cacert", "FILE",
       "trust the certificates in FILE instead of the system's store"},
      {kOptInsecure, "insecure", nullptr,
       "check no certificate at all: UNSAFE, anyone on the way can answer for any site; for "
       "test servers only"},
      {kOptMemory, "memory", "MIB",
       "memory of pages held at once (with their decoders' windows), in MiB, " +
           Number(kMinMemoryMib) + " to " + Number(kMaxMemoryMib) + " (default " +
           Number(static_cast<long>(f.memory_budget >> 20)) + ")"},
      {kOptFailures, "failures", "FILE",
       "write the addresses that failed to FILE, one per line, as listed; replaced whole at "
       "the end, as -o is"},
      {kOptResume, "resume", nullptr,
       "with -o FILE: go on after the last address whose rows FILE holds whole (they must be "
       "the input's first addresses, in order), and append to FILE as rows are ready, synced "
       "every second"},
      {kOptFinishedOk, "finished-ok", nullptr,
       "exit with status " + Number(ToInt(ExitStatus::kDone)) +
           " when the run finished, even if some addresses failed"},
      {kOptQuiet, "quiet", nullptr, "no progress line and no summary line"},
      {kOptHelp, "help", nullptr, "this text"},
      {kOptVersion, "version", nullptr, "the version"},
  };
}

}  // namespace

const std::vector<OptionEntry>& KnownOptions() {
  static const std::vector<OptionEntry> entries = MakeEntries();
  return entries;
}

}  // namespace orvanel
