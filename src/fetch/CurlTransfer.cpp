#include "fetch/CurlTransfer.h"

#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "fetch/SocketLoop.h"

namespace orvanel {
namespace {

bool StartsNoCase(const char* text, std::size_t size, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return size >= n && curl_strnequal(text, prefix, n);
}

}  // namespace

EasyPool::~EasyPool() {
  for (CURL* easy : kept_) curl_easy_cleanup(easy);
}

CURL* EasyPool::Take() {
  if (kept_.empty()) return curl_easy_init();
  CURL* easy = kept_.back();
  kept_.pop_back();
  return easy;
}

void EasyPool::Give(CURL* easy) {
  if (kept_.size() >= keep_) return curl_easy_cleanup(easy);
  // Back to the defaults: nothing of the last transfer's options carries over.
  curl_easy_reset(easy);
  kept_.push_back(easy);
}

CurlTransfer::CurlTransfer(const std::string& url, const Setup& setup, Sink& sink, void* owner)
    : multi_(setup.multi),
      pool_(setup.pool),
      loop_(setup.loop),
      sink_(sink),
      owner_(owner),
      max_header_bytes_(setup.options->max_header_bytes),
      max_body_bytes_(setup.options->max_bytes) {
  const FetcherOptions& o = *setup.options;
  CURL* e = easy_ = pool_ ? pool_->Take() : curl_easy_init();
  if (!e) return;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_PRIVATE, this);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlTransfer::OnData);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CurlTransfer::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &CurlTransfer::OnPrereq);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(e, CURLOPT_SOCKOPTFUNCTION, &CurlTransfer::OnSocketOption);
  curl_easy_setopt(e, CURLOPT_SOCKOPTDATA, this);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_buffer_);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // Redirects are the fetcher's: each hop is checked and gets its own names and headers.
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  // Every coding libcurl knows is asked for, and undone by our own decoder, which never
  // makes more than the memory budget has room for.
  curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, o.connect_timeout_ms);
  // The whole-page time-out is the fetcher's own: time held back for memory is not counted.
  curl_easy_setopt(e, CURLOPT_USERAGENT, o.user_agent.c_str());
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, o.insecure ? 0L : 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, o.insecure ? 0L : 2L);
  const bool https = curl_strnequal(url.c_str(), "https:", 6);
  if (https && setup.trust) {
    // The store read for the run comes with the TLS context (OnSslContext): libcurl reads
    // no files of its own.
    trust_ = setup.trust;
    curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
  } else if (!o.ca_file.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, o.ca_file.c_str());
    curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);  // the file instead of the system's
  }
  if (setup.headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, setup.headers);
  if (setup.share) curl_easy_setopt(e, CURLOPT_SHARE, setup.share);
  if (setup.pipewait) curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
  curl_easy_setopt(e, CURLOPT_DNS_CACHE_TIMEOUT, setup.name_cache_seconds);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, setup.buffer_size);
  if (setup.resolve) {
    resolve_ = curl_slist_append(nullptr, setup.resolve->c_str());
    curl_easy_setopt(e, CURLOPT_RESOLVE, resolve_);
  }
  if (https) {
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &CurlTransfer::OnSslContext);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, this);
  }
}

CurlTransfer::~CurlTransfer() {
  if (added_) curl_multi_remove_handle(multi_, easy_);
  if (easy_ && pool_) {
    pool_->Give(easy_);
  } else if (easy_) {
    curl_easy_cleanup(easy_);
  }
  curl_slist_free_all(resolve_);
}

bool CurlTransfer::Start(std::string& error) {
  if (!easy_) {
    error = "Cannot make a transfer: out of memory";
    return false;
  }
  const CURLMcode rc = curl_multi_add_handle(multi_, easy_);
  if (rc != CURLM_OK) {
    error = std::string("Cannot start the transfer: ") + curl_multi_strerror(rc);
    return false;
  }
  added_ = true;
  return true;
}

CurlTransfer* CurlTransfer::Of(CURL* easy) {
  char* self = nullptr;
  curl_easy_getinfo(easy, CURLINFO_PRIVATE, &self);
  return reinterpret_cast<CurlTransfer*>(self);
}

std::size_t CurlTransfer::OnData(char* data, std::size_t size, std::size_t count, void* self) {
  auto* t = static_cast<CurlTransfer*>(self);
  return t->sink_.Body(*t, data, size * count);
}

std::size_t CurlTransfer::OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
  auto* t = static_cast<CurlTransfer*>(self);
  const std::size_t n = size * count;
  // Headers and trailers have a cap of their own, like the body; below libcurl's own.
  t->header_bytes_ += n;
  if (t->header_bytes_ > t->max_header_bytes_) {
    t->headers_too_large_ = true;
    return 0;
  }
  if (StartsNoCase(data, n, "HTTP/")) t->location_ = false;  // a new answer begins
  // At the end of an answer's headers, a page announced longer than a page may be is
  // refused unread; a redirect's body is never read, whatever its length (libcurl's own
  // cap would refuse it at its Content-Length, before its Location is seen).
  if ((n == 2 && data[0] == '\r') || (n == 1 && data[0] == '\n')) {
    curl_off_t length = -1;
    curl_easy_getinfo(t->easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (t->Status() >= 200 && !t->Redirects() && length > 0 &&
        static_cast<unsigned long long>(length) > t->max_body_bytes_) {
      t->body_too_large_ = true;
      return 0;
    }
  }
  if (StartsNoCase(data, n, "location:")) {
    const std::string_view value(data + 9, n - 9);
    t->location_ = value.find_first_not_of(" \t\r\n") != std::string_view::npos;
  }
  return n;
}

int CurlTransfer::OnPrereq(void* self, char*, char*, int, int) {
  auto* t = static_cast<CurlTransfer*>(self);
  t->connected_ = true;
  t->sink_.Connected(*t);
  return CURL_PREREQFUNC_OK;
}

int CurlTransfer::OnSocketOption(void* self, curl_socket_t socket, curlsocktype) {
  static_cast<CurlTransfer*>(self)->sockets_.push_back(socket);
  return CURL_SOCKOPT_OK;
}

CURLcode CurlTransfer::OnSslContext(CURL*, void* ssl_ctx, void* self) {
  auto* t = static_cast<CurlTransfer*>(self);
  // The connection being made is over the newest socket of ours that is connected.
  int socket = -1;
  for (auto it = t->sockets_.rbegin(); it != t->sockets_.rend() && socket < 0; ++it) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(*it, reinterpret_cast<sockaddr*>(&peer), &length) == 0) socket = *it;
  }
  SocketLoop::WatchTls(ssl_ctx, t->loop_, socket);
  if (t->trust_) t->trust_->Give(ssl_ctx);
  return CURLE_OK;
}

long CurlTransfer::Status() const {
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

std::optional<std::string> CurlTransfer::Header(const char* name) const {
  // Every occurrence in the latest answer, joined as a list.
  std::optional<std::string> value;
  curl_header* h = nullptr;
  for (std::size_t i = 0; curl_easy_header(easy_, name, i, CURLH_HEADER, -1, &h) == CURLHE_OK && h;
       ++i) {
    value = value ? *value + ", " + h->value : std::string(h->value);
    if (i + 1 >= h->amount) break;
  }
  return value;
}

BodyReader::Answer CurlTransfer::Answer() const {
  BodyReader::Answer answer;
  answer.status = Status();
  long version = 0;
  curl_easy_getinfo(easy_, CURLINFO_HTTP_VERSION, &version);
  answer.multiplexed = version >= CURL_HTTP_VERSION_2_0;
  char* type = nullptr;
  curl_easy_getinfo(easy_, CURLINFO_CONTENT_TYPE, &type);
  answer.content_type = type ? type : "";
  answer.content_encoding = Header("Content-Encoding").value_or("");
  curl_off_t length = -1;
  curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  answer.announced = length;
  answer.redirect = Redirects();
  return answer;
}

bool CurlTransfer::Redirects() const {
  const long status = Status();
  return status >= 300 && status < 400 && status != 304 && location_;
}

std::optional<std::string> CurlTransfer::RedirectUrl() const {
  if (!Redirects()) return std::nullopt;
  char* url = nullptr;
  curl_easy_getinfo(easy_, CURLINFO_REDIRECT_URL, &url);
  if (url && *url) return std::string(url);
  // libcurl tells it only of an answer read to its end; a redirect's body is not.
  const auto location = Header("Location");
  char* base = nullptr;
  curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &base);
  if (!location || !base) return std::nullopt;
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), &curl_url_cleanup);
  if (!u || curl_url_set(u.get(), CURLUPART_URL, base, 0) != CURLUE_OK ||
      curl_url_set(u.get(), CURLUPART_URL, location->c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE) != CURLUE_OK ||
      curl_url_get(u.get(), CURLUPART_URL, &url, 0) != CURLUE_OK) {
    return std::nullopt;
  }
  std::string resolved(url);
  curl_free(url);
  return resolved;
}

FailureFacts CurlTransfer::Facts(CURLcode code, bool body_begun) const {
  FailureFacts facts;
  facts.connected = connected_;
  facts.text = error_buffer_[0] ? error_buffer_ : curl_easy_strerror(code);
  // nghttp2 ends headers continued without end ("Too many CONTINUATION frames").
  const bool said_headers_too_large =
      (std::strstr(error_buffer_, "header") &&
       (std::strstr(error_buffer_, "arge") || std::strstr(error_buffer_, "giant"))) ||
      std::strstr(error_buffer_, "CONTINUATION");
  switch (code) {
    case CURLE_OK:
      facts.fault = TransferFault::kNone;
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      facts.fault = TransferFault::kResolve;
      break;
    case CURLE_COULDNT_CONNECT:
      facts.fault = TransferFault::kConnect;
      break;
    case CURLE_OPERATION_TIMEDOUT:
      facts.fault = TransferFault::kTimedOut;
      break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
      facts.fault = TransferFault::kTls;
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
      facts.fault = TransferFault::kUnsupportedScheme;
      break;
    case CURLE_FILESIZE_EXCEEDED:
      facts.fault = TransferFault::kBodyTooLarge;
      break;
    default:
      // libcurl has caps of its own on headers (one line, all of them) that come before
      // ours; what it says of them is a fact about the headers' size.
      facts.fault = !body_begun && (headers_too_large_ || said_headers_too_large ||
                                    code == CURLE_OUT_OF_MEMORY)
                        ? TransferFault::kHeadersTooLarge
                        : TransferFault::kOther;
      break;
  }
  if (headers_too_large_) facts.fault = TransferFault::kHeadersTooLarge;
  return facts;
}

}  // namespace orvanel
