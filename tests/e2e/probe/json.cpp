#include "json.h"

#include <cstdio>

std::string json_string(const std::string& utf8) {
    std::string quoted = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string json_strings(const std::vector<std::string>& items) {
    std::string array = "[";
    for (const std::string& item : items) {
        if (array.size() > 1)
            array += ',';
        array += json_string(item);
    }
    return array + "]";
}

json_object& json_object::add(const std::string& key, const std::string& utf8) {
    return add_json(key, json_string(utf8));
}

json_object& json_object::add(const std::string& key, const char* utf8) {
    return add(key, std::string(utf8));
}

json_object& json_object::add(const std::string& key, bool value) {
    return add_json(key, value ? "true" : "false");
}

json_object& json_object::add(const std::string& key, std::int64_t value) {
    return add_json(key, std::to_string(value));
}

json_object& json_object::add_json(const std::string& key, const std::string& json) {
    if (!members_.empty())
        members_ += ',';
    members_ += json_string(key);
    members_ += ':';
    members_ += json;
    return *this;
}
