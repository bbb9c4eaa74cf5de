#include "engine/Retrieval.h"

namespace orvanel {

FetchRequest MakeFetchRequest(const NormalisedAddress& address, Mode mode,
                              const std::vector<std::string>& tags, bool early_stop) {
  FetchRequest request;
  request.url = address.url;
  if (early_stop) {
    bool ascii = true;
    if (mode == Mode::kOnlyListedTags) {
      for (const auto& tag : tags) {
        for (unsigned char c : tag) ascii = ascii && c < 0x80;
      }
    }
    request.decided = [mode, tags, ascii](std::string_view bytes, std::string_view content_type) {
      return IsDecodingSettled(bytes, content_type, ascii) && IsDecided(mode, bytes, tags);
    };
  }
  return request;
}

Page MakePage(const NormalisedAddress& address, FetchResult result) {
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
    page.reason = result.error;
    return page;
  }
  DecodedDocument doc = DecodeDocument(result.bytes, result.content_type);
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
