// Pages and heads the request filter's benchmarks share.
#pragma once
#include <cstdint>
#include <string>

#include "http_parser.h"

namespace vor::reqgate::bench {

// An HTML page of exactly size bytes, with the repeats a catalogue page has.
inline std::string html(size_t size) {
  std::string page = "<!DOCTYPE html><html><head><title>Catalogue</title></head><body>\n";
  for (int i = 0; page.size() < size; ++i) {
    page += "<div class=\"item\"><a href=\"/items/" + std::to_string(i * 7919 % 100003) + "\">Item " +
            std::to_string(i) + "</a><span class=\"price\">" + std::to_string(i % 97) + ".99</span></div>\n";
  }
  page.resize(size);
  return page;
}

// A parsed head from its whole text; freed with http_parser_free.
inline http_parser* head_of(const std::string& text) {
  http_parser* head = http_parser_make();
  http_parser_parse(head, text.data(), static_cast<int32_t>(text.size()));
  http_parser_buildIndex(head);
  return head;
}

}  // namespace vor::reqgate::bench
