#pragma once
// Builds the one-line JSON answers of the probe.

#include <cstdint>
#include <string>
#include <vector>

std::string json_string(const std::string& utf8);
std::string json_strings(const std::vector<std::string>& items);

class json_object {
  public:
    json_object& add(const std::string& key, const std::string& utf8);
    json_object& add(const std::string& key, const char* utf8);
    json_object& add(const std::string& key, bool value);
    json_object& add(const std::string& key, std::int64_t value);
    // Adds a value that is already JSON text (an object or an array).
    json_object& add_json(const std::string& key, const std::string& json);
    std::string text() const { return "{" + members_ + "}"; }

  private:
    std::string members_;
};
