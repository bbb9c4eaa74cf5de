#pragma once

#include <memory>

#include "fetch/Fetcher.h"

namespace orvanel {

// The libcurl implementation: one worker thread driving a multi handle, composing the
// policies of this folder (per-host queue, memory budget, host breaker, name cache,
// ticket book) over libcurl transfers, local files and a socket loop. Destroying it
// aborts every transfer still running and returns promptly.
std::unique_ptr<Fetcher> MakeCurlFetcher(const FetcherOptions& options = {});

// The connections a fetcher made with `options` keeps open at most.
int MaxConnections(const FetcherOptions& options);

}  // namespace orvanel
