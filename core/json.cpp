#include "json.h"

namespace zarel {

namespace {

// Collects the DOM like nlohmann's own parser but keeps the parse error as text.
struct Collector : nlohmann::detail::json_sax_dom_parser<Json> {
  std::string error;
  explicit Collector(Json& out) : json_sax_dom_parser(out, false) {}
  template <class E>
  bool parse_error(std::size_t, const std::string&, const E& ex) {
    error = ex.what();
    return false;
  }
};

// The position where nesting first passes the limit, found by a scan that skips strings.
bool too_deep(std::string_view text, size_t& line, size_t& column) {
  int depth = 0;
  bool in_string = false, escaped = false;
  line = 1;
  column = 0;
  for (char c : text) {
    ++column;
    if (c == '\n') {
      ++line;
      column = 0;
    }
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

Result<Json> parse_json(std::string_view text) {
  size_t line, column;
  if (too_deep(text, line, column))
    return invalid("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels at line " +
                   std::to_string(line) + ", column " + std::to_string(column));
  Json out;
  Collector sax(out);
  if (!Json::sax_parse(text.begin(), text.end(), &sax) || !sax.error.empty()) {
    std::string e = sax.error;
    // Drop nlohmann's "[json.exception.parse_error.101] " prefix; keep its description.
    if (auto at = e.find("] "); e.rfind("[json.exception", 0) == 0 && at != std::string::npos) e = e.substr(at + 2);
    return invalid(e.empty() ? "malformed document" : e);
  }
  return out;
}

std::string write_json(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const Json* member(const Json& value, std::string_view key) {
  if (!value.is_object()) return nullptr;
  auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

}  // namespace zarel
