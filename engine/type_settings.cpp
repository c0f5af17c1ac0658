#include "engine/type_settings.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

namespace korvel::settings {
namespace {

// A 64-bit magnitude as a double, rounded once to nearest: the two halves
// convert exactly and only the sum rounds. The same bits as the 64-bit
// builds' direct conversion, without the x87 one a 32-bit build would use.
double MagnitudeToDouble(std::uint64_t m) {
  return static_cast<double>(static_cast<std::uint32_t>(m >> 32)) * 4294967296.0 +
         static_cast<double>(static_cast<std::uint32_t>(m));
}

}  // namespace

nlohmann::ordered_json Number(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return value;
}

std::string Quoted(const char* key) { return std::string("\"") + key + "\""; }

bool NumberValue(const nlohmann::json& v, double& value) {
  if (v.is_number_unsigned()) {
    value = MagnitudeToDouble(v.get<std::uint64_t>());
  } else if (v.is_number_integer()) {
    const std::int64_t n = v.get<std::int64_t>();
    const std::uint64_t magnitude = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    value = n < 0 ? -MagnitudeToDouble(magnitude) : MagnitudeToDouble(magnitude);
  } else if (v.is_number()) {
    value = v.get<double>();
  } else {
    return false;
  }
  return true;
}

bool ReadReal(const nlohmann::json& in, const char* key, double& value, std::string& error) {
  const auto it = in.find(key);
  if (it == in.end()) return true;
  const nlohmann::json& v = *it;
  if (NumberValue(v, value)) return true;
  if (v.is_string() && v.get_ref<const std::string&>() == "nan") {
    value = std::numeric_limits<double>::quiet_NaN();
  } else if (v.is_string() && v.get_ref<const std::string&>() == "inf") {
    value = std::numeric_limits<double>::infinity();
  } else if (v.is_string() && v.get_ref<const std::string&>() == "-inf") {
    value = -std::numeric_limits<double>::infinity();
  } else {
    error = Quoted(key) + " is not a number";
    return false;
  }
  return true;
}

bool ReadInteger(const nlohmann::json& in, const char* key, long long low, long long high, long long& value,
                 std::string& error) {
  const auto it = in.find(key);
  if (it == in.end()) return true;
  const nlohmann::json& v = *it;
  const auto outside = [&](const std::string& shown) {
    error = Quoted(key) + " is " + shown + ", outside " + std::to_string(low) + ".." + std::to_string(high);
    return false;
  };
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(high)) return outside(std::to_string(u));
    value = static_cast<long long>(u);
  } else if (v.is_number_integer()) {
    const auto n = v.get<std::int64_t>();
    if (n < low || n > high) return outside(std::to_string(n));
    value = n;
  } else {
    error = Quoted(key) + " is not a whole number";
    return false;
  }
  if (value < low) return outside(std::to_string(value));
  return true;
}

}  // namespace korvel::settings
