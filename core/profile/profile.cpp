#include "profile/profile.h"

#include <cmath>
#include <limits>

#include "geo/ellipsoid.h"
#include "geo/grid.h"

namespace zarel {

Profile Profile::ogc() { return Profile{}.with_hash("sha256"); }

Profile Profile::zarel_1() {
  Profile p;
  p.lon_0_udeg = 0;
  return p.with_hash("sha256");
}

Profile Profile::with_hash(std::string id) const {
  Profile p = *this;
  p.hash = std::move(id);
  return p;
}

Status Profile::validate() const {
  if (aperture < 2 || aperture > 4096 || n_base < 1)
    return invalid("need 2 <= A <= 4096 and B >= 1, got A=" + std::to_string(aperture) +
                   ", B=" + std::to_string(n_base));
  uint64_t product = uint64_t{aperture} * (aperture - 1);
  if (n_base > product)
    return invalid("B=" + std::to_string(n_base) + " > A(A-1)=" + std::to_string(product) +
                   ": the leading block would not be two digits");
  if (hash != "sha256") return invalid("unknown hash id " + quote(hash));
  if (lon_0_udeg > 180000000 || lon_0_udeg < -180000000)
    return invalid("lon_0 " + std::to_string(lon_0_udeg) + " micro-degrees outside [-180, 180] degrees");
  if (north_square > 3 || south_square > 3) return invalid("north_square/south_square must be in 0..3");
  if (a_um == 0 || inv_f_nano == 0) return invalid("ellipsoid a and inv_f must be positive");
  if (tick_us == 0) return invalid("tick_us must be >= 1");
  auto side = static_cast<uint32_t>(std::sqrt(static_cast<double>(aperture)));
  if (side * side != aperture)
    return invalid("aperture " + std::to_string(aperture) + " is not a square; no rHEALPix N_side");
  // Flattening 1 or more has no ellipsoid; just above 10^9 the eccentricity
  // rounds to 1 and the authalic radius to NaN.
  if (inv_f_nano <= 1000000000)
    return invalid("inv_f_nano " + std::to_string(inv_f_nano) + " must be above 10^9 (a flattening below 1)");
  if (auto el = geo::Ellipsoid::from_profile(a_um, inv_f_nano); !(el.e < 1 && el.r_auth > 0))
    return invalid("inv_f_nano " + std::to_string(inv_f_nano) + " is too close to 10^9: the eccentricity rounds to 1");
  return ok();
}

Status Profile::check_layout() const {
  if (n_base != 6) return invalid("the rHEALPix layout has 6 base cells, the profile has " + std::to_string(n_base));
  return ok();
}

namespace {
template <class T>
void put_be(std::vector<uint8_t>& out, T v) {
  auto u = static_cast<std::make_unsigned_t<T>>(v);
  for (int i = sizeof(T) - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(u >> (8 * i)));
}
}  // namespace

std::vector<uint8_t> Profile::id_preimage() const {
  static constexpr std::string_view kTag = "ZAREL-PROFILE-1";
  std::vector<uint8_t> out(kTag.begin(), kTag.end());
  // The hash id is one of a few short names; its length byte cannot overflow for a valid profile.
  out.push_back(static_cast<uint8_t>(hash.size()));
  out.insert(out.end(), hash.begin(), hash.end());
  put_be(out, aperture);
  put_be(out, n_base);
  put_be(out, lon_0_udeg);
  put_be(out, north_square);
  put_be(out, south_square);
  put_be(out, a_um);
  put_be(out, inv_f_nano);
  put_be(out, tick_us);
  put_be(out, epoch_us);
  return out;
}

Hash Profile::id() const { return sha256(id_preimage()); }

Result<HashContextRef> Profile::ctx(uint32_t depth) const {
  ZAREL_CHECK(validate());
  Hierarchy h = hierarchy();
  if (uint32_t max = h.deepest(); depth > max)
    return invalid("depth " + std::to_string(depth) + " is deeper than the deepest level, " + std::to_string(max));
  return shared_hash_context(h, depth);
}

namespace {

// The pieces of a description, each naming the fields that fix one property.
std::string meridian_text(const Profile& p) { return "lon_0=" + shortest(static_cast<double>(p.lon_0_udeg) / 1e6); }
std::string squares_text(const Profile& p) {
  return "ns=" + std::to_string(p.north_square) + " ss=" + std::to_string(p.south_square);
}
std::string ellipsoid_text(const Profile& p) {
  return "a=" + shortest(static_cast<double>(p.a_um) / 1e6) +
         " 1/f=" + shortest(static_cast<double>(p.inv_f_nano) / 1e9);
}
std::string time_text(const Profile& p) {
  return "tick=" + std::to_string(p.tick_us) + "us epoch=" + std::to_string(p.epoch_us);
}

Status mismatch(const char* what, const std::string& a, const std::string& b, const char* why) {
  return invalid(std::string(what) + " mismatch: " + a + " vs " + b + "; " + why);
}

constexpr const char* kElsewhere = "a cid names another place under each profile";

}  // namespace

std::string Profile::describe() const {
  return "H(" + std::to_string(aperture) + "," + std::to_string(n_base) + ") rhealpix " + meridian_text(*this) + " " +
         squares_text(*this) + " " + ellipsoid_text(*this) + " hash=" + hash + " " + time_text(*this);
}

Status Profile::places_cells_alike(const Profile& other) const {
  if (lon_0_udeg != other.lon_0_udeg)
    return mismatch("prime meridian", meridian_text(*this), meridian_text(other), kElsewhere);
  if (north_square != other.north_square || south_square != other.south_square)
    return mismatch("polar square", squares_text(*this), squares_text(other), kElsewhere);
  if (a_um != other.a_um || inv_f_nano != other.inv_f_nano)
    return mismatch("ellipsoid", ellipsoid_text(*this), ellipsoid_text(other), kElsewhere);
  return ok();
}

Status Profile::keeps_time_alike(const Profile& other) const {
  if (tick_us != other.tick_us || epoch_us != other.epoch_us)
    return mismatch("time", time_text(*this), time_text(other), "the trees would share one profile");
  return ok();
}

Json Profile::to_record() const {
  return Json{{"hash", hash},           {"aperture", aperture},         {"n_base", n_base},
              {"lon_0_udeg", lon_0_udeg}, {"north_square", north_square}, {"south_square", south_square},
              {"a_um", a_um},           {"inv_f_nano", inv_f_nano},     {"tick_us", tick_us},
              {"epoch_us", epoch_us}};
}

namespace {

// A JSON value's kind and content, as a record reader describes what it found.
std::string describe_value(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case Json::value_t::number_unsigned: return "integer `" + std::to_string(v.get<uint64_t>()) + "`";
    case Json::value_t::number_integer: return "integer `" + std::to_string(v.get<int64_t>()) + "`";
    case Json::value_t::number_float: return "floating point `" + shortest(v.get<double>()) + "`";
    case Json::value_t::string: return "string " + quote(v.get_ref<const std::string&>());
    case Json::value_t::array: return "a sequence";
    case Json::value_t::object: return "a map";
    default: return "a value";
  }
}

template <class T>
Status read_int(const Json& v, const char* type_name, T& out) {
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u <= static_cast<uint64_t>(std::numeric_limits<T>::max())) {
      out = static_cast<T>(u);
      return ok();
    }
  } else if (v.is_number_integer()) {
    int64_t i = v.get<int64_t>();
    if constexpr (std::is_signed_v<T>) {
      out = static_cast<T>(i);
      return ok();
    }
  }
  if (v.is_number_integer())
    return invalid("bad profile record: invalid value: " + describe_value(v) + ", expected " + type_name);
  return invalid("bad profile record: invalid type: " + describe_value(v) + ", expected " + type_name);
}

}  // namespace

Result<Profile> Profile::from_record(const Json& record) {
  static constexpr const char* kFields[] = {"hash",   "aperture", "n_base",     "lon_0_udeg", "north_square",
                                            "south_square", "a_um", "inv_f_nano", "tick_us", "epoch_us"};
  const Json* values[10];
  if (record.is_array()) {
    if (record.size() != 10)
      return invalid("bad profile record: invalid length " + std::to_string(record.size()) +
                     ", expected struct Profile with 10 elements");
    for (size_t i = 0; i < 10; ++i) values[i] = &record[i];
  } else if (record.is_object()) {
    for (size_t i = 0; i < 10; ++i) {
      values[i] = member(record, kFields[i]);
      if (!values[i]) return invalid(std::string("bad profile record: missing field `") + kFields[i] + "`");
    }
  } else {
    return invalid("bad profile record: invalid type: " + describe_value(record) + ", expected struct Profile");
  }
  Profile p;
  if (!values[0]->is_string())
    return invalid("bad profile record: invalid type: " + describe_value(*values[0]) + ", expected a string");
  p.hash = values[0]->get<std::string>();
  ZAREL_CHECK(read_int(*values[1], "u32", p.aperture));
  ZAREL_CHECK(read_int(*values[2], "u32", p.n_base));
  ZAREL_CHECK(read_int(*values[3], "i64", p.lon_0_udeg));
  ZAREL_CHECK(read_int(*values[4], "u8", p.north_square));
  ZAREL_CHECK(read_int(*values[5], "u8", p.south_square));
  ZAREL_CHECK(read_int(*values[6], "u64", p.a_um));
  ZAREL_CHECK(read_int(*values[7], "u64", p.inv_f_nano));
  ZAREL_CHECK(read_int(*values[8], "u64", p.tick_us));
  ZAREL_CHECK(read_int(*values[9], "i64", p.epoch_us));
  return p;
}

geo::Grid Profile::grid() const {
  using geo::kPi;
  geo::Grid g;
  auto el = geo::Ellipsoid::from_profile(a_um, inv_f_nano);
  g.a = el.a;
  g.f = el.f;
  g.e = el.e;
  g.auth = geo::AuthLat::make(el.e);
  g.r_auth = el.r_auth;
  double r = el.r_auth;
  g.north_square = north_square & 3;
  g.south_square = south_square & 3;
  g.ul[0] = {(g.north_square * kPi / 2 - kPi) * r, 3 * kPi / 4 * r};
  g.ul[1] = {-kPi * r, kPi / 4 * r};
  g.ul[2] = {-kPi / 2 * r, kPi / 4 * r};
  g.ul[3] = {0 * r, kPi / 4 * r};
  g.ul[4] = {kPi / 2 * r, kPi / 4 * r};
  g.ul[5] = {(g.south_square * kPi / 2 - kPi) * r, -kPi / 4 * r};
  g.lon_0 = static_cast<double>(lon_0_udeg) / 1e6;
  g.side = static_cast<uint32_t>(std::sqrt(static_cast<double>(aperture)));
  g.n_base = n_base;
  return g;
}

Result<geo::Grid> Profile::geometry() const {
  ZAREL_CHECK(validate());
  ZAREL_CHECK(check_layout());
  return grid();
}

namespace geo {

Result<double> cell_area(const Profile& profile, uint32_t level) {
  if (uint32_t max = profile.hierarchy().deepest(); level > max)
    return invalid("level " + std::to_string(level) + " is deeper than the deepest level, " + std::to_string(max));
  // Only the grid the point functions draw has these areas.
  ZAREL_TRY(Grid grid, profile.geometry());
  return cell_area(grid, level);
}

}  // namespace geo

}  // namespace zarel
