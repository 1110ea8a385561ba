#include "base/error.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace zarel {

std::string Error::display() const {
  if (kind == Kind::Invalid) return message;
  if (kind == Kind::Cancelled) return "cancelled";
  char buf[1024];
  // glibc prints the exact decimal expansion, correctly rounded.
  std::snprintf(buf, sizeof buf, "(%.20f,%.20f) is not a point in the image of the projection", x, y);
  return buf;
}

Error invalid(std::string message) { return Error{Error::Kind::Invalid, std::move(message)}; }

Error off_image(double x, double y) { return Error{Error::Kind::OffImage, {}, x, y}; }

Error cancelled() { return Error{Error::Kind::Cancelled, {}}; }

void panic(const char* file, int line, std::string_view message) {
  std::string where = file;
  // Report the path within the project (e.g. "tree.cpp", "geo/grid.cpp", "python/batch_points.cpp")
  // rather than the build's absolute path.
  if (auto at = where.rfind("/core/"); at != std::string::npos) where = where.substr(at + 6);
  else if (auto py = where.rfind("/python/"); py != std::string::npos) where = where.substr(py + 1);
  std::string text = "internal error at " + where + ":" + std::to_string(line) + ": " + std::string(message);
  std::fprintf(stderr, "zarel: %s\n", text.c_str());
  throw Panic(std::move(text));
}

namespace {

void escape_into(std::string& out, unsigned char c, char quote_mark) {
  switch (c) {
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\0': out += "\\0"; return;
    default: break;
  }
  if (c == static_cast<unsigned char>(quote_mark)) {
    out += '\\';
    out += quote_mark;
  } else if (c < 0x20 || c == 0x7f) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
    out += buf;
  } else {
    out += static_cast<char>(c);
  }
}

}  // namespace

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) escape_into(out, c, '"');
  out += '"';
  return out;
}

std::string quote_char(unsigned char c) {
  std::string out = "'";
  if (c < 0x80) {
    escape_into(out, c, '\'');
  } else if (c < 0xa0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
    out += buf;
  } else {
    // The byte read as a code point (Latin-1), written as UTF-8.
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
  out += '\'';
  return out;
}

std::string shortest(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[512];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

}  // namespace zarel
