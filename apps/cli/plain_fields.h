#pragma once
// Plain output for people: one "Name:  value" line per field, names padded so that the values
// line up, fields without a value left out unless every field is wanted (--all, which prints
// what scripts written against the unaligned form expect: every field, "name: value").
//
// Stateless; the functions only build text.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace mscli {

struct PlainField {
  PlainField(std::string n, std::string v)
      : name(std::move(n)), value(v), all_value(std::move(v)), carries(!value.empty()) {}
  PlainField(std::string n, std::string v, std::string a, bool c)
      : name(std::move(n)), value(std::move(v)), all_value(std::move(a)), carries(c) {}

  std::string name;
  std::string value;      // as people read it
  std::string all_value;  // as --all prints it (the unaligned form scripts know)
  bool carries = true;    // whether the field holds something worth showing
};

// A field from a JSON value: strings as they are, numbers and Booleans as JSON writes them,
// arrays of numbers separated by blanks (for --all: as JSON writes them). A value carries something
// when it is a non-empty string, a number other than 0, true, or an array with an element that is
// not 0.
PlainField FieldOf(std::string name, const nlohmann::ordered_json& value);

// The lines of `fields`: with `all` every field as "name: value", otherwise only the fields
// that carry a value, aligned; a field without a name is a remark printed as its value alone.
// A record ends with an empty line.
std::string PlainRecord(const std::vector<PlainField>& fields, bool all);

}  // namespace mscli
