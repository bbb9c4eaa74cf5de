#include "lists/ListText.h"

#include <utility>

#include "base/Failure.h"

namespace orvanel {

ListTextDecoder::ListTextDecoder(std::string name, AddressLineReader reader)
    : name_(std::move(name)), reader_(std::move(reader)) {}

void ListTextDecoder::FeedText(std::string_view text) {
  try {
    reader_.Feed(text);
  } catch (const Failure& f) {
    throw Failure(name_.empty() ? std::string(f.what()) : name_ + ": " + f.what());
  }
}

void ListTextDecoder::DecideForm() {
  std::string_view head = head_;
  std::size_t mark = 0;
  if (head.substr(0, 3) == "\xEF\xBB\xBF") {
    mark = 3;
  } else if (head.substr(0, 2) == "\xFF\xFE") {
    utf16_.emplace(Utf16Decoder::ByteOrder::kLittleEndian);
    mark = 2;
  } else if (head.substr(0, 2) == "\xFE\xFF") {
    utf16_.emplace(Utf16Decoder::ByteOrder::kBigEndian);
    mark = 2;
  }
  decided_ = true;
  const std::string rest = head_.substr(mark);
  head_.clear();
  Dispatch(rest);
}

void ListTextDecoder::Feed(std::string_view bytes) {
  if (decided_) return Dispatch(bytes);
  head_.append(bytes);
  if (head_.size() >= 3) DecideForm();  // a shorter file is decided at Finish
}

void ListTextDecoder::Dispatch(std::string_view bytes) {
  if (!utf16_) return FeedText(bytes);
  std::string text;
  utf16_->Feed(bytes, text);
  FeedText(text);
}

void ListTextDecoder::Finish() {
  if (!decided_) DecideForm();
  if (utf16_) {
    std::string rest;
    utf16_->Finish(rest);
    FeedText(rest);
  }
  try {
    reader_.Finish();
  } catch (const Failure& f) {
    throw Failure(name_.empty() ? std::string(f.what()) : name_ + ": " + f.what());
  }
}

}  // namespace orvanel
