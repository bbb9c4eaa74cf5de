#include "engine/Retrieval.h"

#include <algorithm>

namespace orvanel {

bool TagsAreAscii(Mode mode, const std::vector<std::string>& tags) {
  if (mode != Mode::kOnlyListedTags) return true;
  for (const auto& tag : tags) {
    for (unsigned char c : tag) {
      if (c >= 0x80) return false;
    }
  }
  return true;
}

bool RowsAreDecided(Mode mode, const std::vector<std::string>& tags, bool ascii_tags,
                    std::string_view bytes, std::string_view content_type) {
  return IsDecodingSettled(bytes, content_type, ascii_tags) && IsDecided(mode, bytes, tags);
}

std::size_t EarlyDecision::operator()(std::string_view bytes, std::string_view content_type,
                                      bool whole) {
  // Both look at every new byte, so that neither falls behind.
  const std::size_t rows = rows_.Decide(bytes, whole);
  return decoding_.Settled(bytes, content_type, rows, whole).value_or(0);
}

FetchRequest MakeFetchRequest(const NormalisedAddress& address, Mode mode,
                              const std::vector<std::string>& tags, bool early_stop) {
  FetchRequest request;
  request.url = address.url;
  if (early_stop) request.decided = EarlyDecision(mode, tags);
  return request;
}

Page MakePage(const NormalisedAddress& address, FetchResult result, bool steady, bool brief) {
  Page page;
  page.address = address;
  page.ok = result.ok;
  page.status = result.status;
  page.final_url = std::move(result.final_url);
  page.bytes_read = result.bytes_read;
  page.cut_early = result.cut_early;
  if (!result.ok) {
    page.message = CannotBeExtractedMessage(address.url);
    page.error = std::move(result.error_text);
    // Every failure has its reason; one the transfer did not name is a network failure.
    page.reason = result.error == FetchError::kNone ? FetchError::kNetwork : result.error;
    return page;
  }
  if (steady && result.decided_at > 0 && result.decided_at < result.bytes.size()) {
    result.bytes.resize(result.decided_at);
  }
  page.document_bytes = result.bytes.size();
  if (brief && result.enough_at > 0 && result.enough_at < result.bytes.size()) {
    result.bytes.resize(result.enough_at);
  }
  DecodedDocument doc = DecodeOwnedDocument(std::move(result.bytes), result.content_type, brief);
  page.text = std::move(doc.text);
  page.charset = std::move(doc.charset);
  page.charset_source = doc.source;
  return page;
}

Page FetchPage(Fetcher& fetcher, const std::string& address, Mode mode,
               const std::vector<std::string>& tags, bool early_stop) {
  const NormalisedAddress normalised = NormaliseAddress(address);
  const auto ticket = fetcher.Submit(MakeFetchRequest(normalised, mode, tags, early_stop));
  return MakePage(normalised, fetcher.Take(ticket));
}

}  // namespace orvanel
