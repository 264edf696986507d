// SPDX-License-Identifier: MIT
#include "kmsg_record.h"

#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>
#include <stdexcept>
#include <string_view>

#include "string_operations.h"

namespace {

constexpr uint32_t kSeverityMask = 7;
constexpr uint64_t kMicrosecondsPerSecond = 1000000;
constexpr uint64_t kMicrosecondsPerMillisecond = 1000;

std::string FormatParsedRecord(const char* record, uint32_t level) {
  const std::string_view text(record);
  const size_t end_of_line = text.find('\n');
  if (end_of_line == std::string_view::npos) throw std::runtime_error("Failed to find EOL in kmsg");
  // Continuation lines (the record's properties) are not relayed.
  const std::string_view first_line = text.substr(0, end_of_line);
  const size_t semicolon = first_line.find(';');
  if (semicolon == std::string_view::npos)
    throw std::runtime_error("Failed to find semicolon in kmsg");
  const std::string prefix(first_line.substr(0, semicolon));
  const std::string message(first_line.substr(semicolon + 1));

  // Empty fields are dropped: doubled commas count as one, commas at either end as none.
  using Fields = boost::tokenizer<boost::char_separator<char>>;
  const Fields fields(prefix, boost::char_separator<char>(","));
  Fields::const_iterator field = fields.begin();
  const auto next_field = [&field, &fields](bool advance) {
    if (advance) ++field;
    if (field == fields.end()) throw std::runtime_error("kmsg format error");
    return *field;
  };
  const uint32_t severity = boost::lexical_cast<uint32_t>(next_field(false)) & kSeverityMask;
  if (level <= severity) return "";                       // later fields are not even looked at
  (void)boost::lexical_cast<uint64_t>(next_field(true));  // sequence number: must be a number
  const uint64_t timestamp = boost::lexical_cast<uint64_t>(next_field(true));
  next_field(true);  // flags: must be there
  return strprintf(
      "{%5lu.%03lu} %s\r\n", static_cast<unsigned long>(timestamp / kMicrosecondsPerSecond),
      static_cast<unsigned long>(timestamp % kMicrosecondsPerSecond / kMicrosecondsPerMillisecond),
      message.c_str());
}

}  // namespace

std::string FormatKmsgRecord(const char* record, uint32_t level) {
  try {
    return FormatParsedRecord(record, level);
  } catch (const std::exception& error) {
    return std::string("ERROR parsing kmsg: ") + error.what();
  } catch (...) {
    return "ERROR parsing kmsg: Unknown exception";
  }
}
