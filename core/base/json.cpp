#include "base/json.h"

#include <array>
#include <charconv>
#include <cmath>

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

// Bytes a string holds as they are: printable ASCII but the quote and the backslash.
constexpr auto kPlainText = [] {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[c] = c != '"' && c != '\\';
  return t;
}();

// The direct reader: one recursive pass over a document straight into the DOM.
// Every method answers false, leaving the output half made, where the document
// is faulty or holds anything the general reader treats in a way of its own
// (non-ASCII bytes, lone surrogates, numbers that overflow or underflow); the
// caller then reads the document again down the general road.
class DirectReader {
 public:
  explicit DirectReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool document(Json& out) {
    space();
    if (!value(out, 0)) return false;
    space();
    return p_ == end_;
  }

 private:
  const char* p_;
  const char* end_;

  void space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool at(char c) const { return p_ < end_ && *p_ == c; }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  void digits() {
    while (p_ < end_ && digit(*p_)) ++p_;
  }

  // `depth` counts the containers around the value.
  bool value(Json& out, int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return object(out, depth);
      case '[': return array(out, depth);
      case '"': {
        ++p_;
        std::string s;
        if (!string(s)) return false;
        out = std::move(s);
        return true;
      }
      case 't': return word("true") && (out = true, true);
      case 'f': return word("false") && (out = false, true);
      case 'n': return word("null") && (out = nullptr, true);
      default: return number(out);
    }
  }

  bool object(Json& out, int depth) {
    if (depth >= kMaxJsonDepth) return false;
    ++p_;
    out = Json::object();
    auto& members = out.get_ref<Json::object_t&>();
    space();
    if (at('}')) return ++p_, true;
    std::string key;
    for (;;) {
      if (!at('"')) return false;
      ++p_;
      key.clear();
      if (!string(key)) return false;
      space();
      if (!at(':')) return false;
      ++p_;
      space();
      // A repeated key keeps its last value, as the general reader does; the
      // earlier one is released first, as replacing it would allocate.
      Json& slot = members[key];
      release_json(slot);
      if (!value(slot, depth + 1)) return false;
      space();
      if (at(',')) {
        ++p_;
        space();
      } else if (at('}')) {
        return ++p_, true;
      } else {
        return false;
      }
    }
  }

  bool array(Json& out, int depth) {
    if (depth >= kMaxJsonDepth) return false;
    ++p_;
    out = Json::array();
    auto& items = out.get_ref<Json::array_t&>();
    space();
    if (at(']')) return ++p_, true;
    for (;;) {
      if (!value(items.emplace_back(), depth + 1)) return false;
      space();
      if (at(',')) {
        ++p_;
        space();
      } else if (at(']')) {
        return ++p_, true;
      } else {
        return false;
      }
    }
  }

  // After the opening quote; consumes the closing one.
  bool string(std::string& s) {
    for (;;) {
      const char* run = p_;
      while (p_ < end_ && kPlainText[static_cast<unsigned char>(*p_)]) ++p_;
      s.append(run, p_);
      if (p_ == end_) return false;
      if (*p_ == '"') return ++p_, true;
      if (*p_ != '\\' || ++p_ == end_) return false;
      switch (*p_++) {
        case '"': s += '"'; break;
        case '\\': s += '\\'; break;
        case '/': s += '/'; break;
        case 'b': s += '\b'; break;
        case 'f': s += '\f'; break;
        case 'n': s += '\n'; break;
        case 'r': s += '\r'; break;
        case 't': s += '\t'; break;
        case 'u': {
          uint32_t cp = 0;
          for (int i = 0; i < 4; ++i, ++p_) {
            if (p_ == end_) return false;
            char c = *p_;
            uint32_t v = digit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : 16;
            if (v == 16) return false;
            cp = cp * 16 + v;
          }
          if (cp >= 0xD800 && cp <= 0xDFFF) return false;  // surrogates: the general road pairs or refuses them
          if (cp < 0x80) {
            s += static_cast<char>(cp);
          } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default: return false;
      }
    }
  }

  bool word(std::string_view w) {
    if (static_cast<size_t>(end_ - p_) < w.size() || std::string_view(p_, w.size()) != w) return false;
    p_ += w.size();
    return true;
  }

  // Integers that fit stay u64 (no sign) or i64 (minus sign); every other number
  // is the correctly rounded double of its text.
  bool number(Json& out) {
    const char* start = p_;
    bool negative = at('-');
    if (negative) ++p_;
    if (at('0')) ++p_;
    else if (p_ < end_ && *p_ >= '1' && *p_ <= '9') digits();
    else return false;
    const char* int_end = p_;
    bool fraction = false;
    if (at('.')) {
      ++p_;
      if (p_ == end_ || !digit(*p_)) return false;
      digits();
      fraction = true;
    }
    if (at('e') || at('E')) {
      ++p_;
      if (at('+') || at('-')) ++p_;
      if (p_ == end_ || !digit(*p_)) return false;
      digits();
      fraction = true;
    }
    if (!fraction) {
      uint64_t m = 0;
      bool overflow = false;
      for (const char* d = start + negative; d < int_end; ++d)
        overflow |= __builtin_mul_overflow(m, 10, &m) || __builtin_add_overflow(m, static_cast<uint64_t>(*d - '0'), &m);
      if (!overflow && !negative) {
        out = m;
        return true;
      }
      constexpr uint64_t kMinMagnitude = uint64_t{1} << 63;
      if (!overflow && m <= kMinMagnitude) {
        out = m == kMinMagnitude ? INT64_MIN : -static_cast<int64_t>(m);
        return true;
      }
    }
    double x;
    auto [end, ec] = std::from_chars(start, p_, x);
    if (ec != std::errc{} || end != p_ || !std::isfinite(x)) return false;
    out = x;
    return true;
  }
};

// A string the direct writer copies between quotes escaping only '"' and '\\'
// (printable ASCII); any other goes through the general writer.
bool plain(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

void write_string(const std::string& s, std::string& out) {
  if (!plain(s)) {
    out += write_json_general(Json(s));
    return;
  }
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '"' || s[i] == '\\') {
      out.append(s, run, i - run);
      out += '\\';
      run = i;
    }
  }
  out.append(s, run, s.size() - run);
  out += '"';
}

void write_value(const Json& v, std::string& out) {
  switch (v.type()) {
    case Json::value_t::null: out += "null"; return;
    case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
    case Json::value_t::number_unsigned:
    case Json::value_t::number_integer: {
      char buf[24];
      auto r = v.is_number_unsigned() ? std::to_chars(buf, buf + sizeof buf, v.get<uint64_t>())
                                      : std::to_chars(buf, buf + sizeof buf, v.get<int64_t>());
      out.append(buf, r.ptr);
      return;
    }
    case Json::value_t::number_float: {
      double x = v.get<double>();
      if (!std::isfinite(x)) {
        out += "null";
        return;
      }
      // The library's own shortest round-trip form, so floats read the same either way.
      char buf[64];
      out.append(buf, nlohmann::detail::to_chars(buf, buf + sizeof buf, x));
      return;
    }
    case Json::value_t::string: write_string(v.get_ref<const std::string&>(), out); return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : v.get_ref<const Json::array_t&>()) {
        if (!first) out += ',';
        first = false;
        write_value(item, out);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, item] : v.get_ref<const Json::object_t&>()) {
        if (!first) out += ',';
        first = false;
        write_string(key, out);
        out += ':';
        write_value(item, out);
      }
      out += '}';
      return;
    }
    default: out += write_json_general(v); return;
  }
}

}  // namespace

Result<Json> parse_json_general(std::string_view text) {
  size_t line, column;
  if (too_deep(text, line, column))
    return invalid("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels at line " +
                   std::to_string(line) + ", column " + std::to_string(column));
  Json out;
  ReleaseJson release(out);  // what a failed read leaves half made
  Collector sax(out);
  if (!Json::sax_parse(text.begin(), text.end(), &sax) || !sax.error.empty()) {
    std::string e = sax.error;
    // Drop nlohmann's "[json.exception.parse_error.101] " prefix; keep its description.
    if (auto at = e.find("] "); e.rfind("[json.exception", 0) == 0 && at != std::string::npos) e = e.substr(at + 2);
    return invalid(e.empty() ? "malformed document" : e);
  }
  return out;
}

Result<Json> parse_json(std::string_view text) {
  {
    Json out;
    ReleaseJson release(out);
    if (DirectReader(text).document(out)) return out;
  }
  return parse_json_general(text);
}

void release_json(Json& value) noexcept {
  if (value.is_array()) {
    auto& items = value.get_ref<Json::array_t&>();
    for (Json& item : items) release_json(item);
    items.clear();
  } else if (value.is_object()) {
    auto& members = value.get_ref<Json::object_t&>();
    for (auto& [key, item] : members) release_json(item);
    members.clear();
  }
}

std::string write_json_general(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string write_json(const Json& value) {
  std::string out;
  out.reserve(256);
  write_value(value, out);
  return out;
}

const Json* member(const Json& value, std::string_view key) {
  if (!value.is_object()) return nullptr;
  auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

}  // namespace zarel
