#include "logfile.h"
#include "version_info.h"

namespace {

constexpr const char* white_space = " \t\n\r\v\f";

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(white_space);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(white_space) - first + 1);
}

void store_piece(const std::string& piece, master_record& record) {
    const std::size_t equals = piece.find('=');
    if (equals == std::string::npos)
        return;
    const std::string key = piece.substr(0, equals);
    const std::string value = trimmed(piece.substr(equals + 1));
    log_info("MasterVersion: " + key + "=" + value);
    record.set(key, value);
}

} // namespace

const std::string& master_record::value(const std::string& key) const {
    static const std::string absent;
    const auto found = values_.find(key);
    return found == values_.end() ? absent : found->second;
}

void master_record::set(const std::string& key, const std::string& value) {
    const bool added = values_.insert_or_assign(key, value).second;
    if (!added && !repeated_key_)
        repeated_key_ = key;
}

void parse_master_version(const std::string& text, master_record& record) {
    std::size_t start = 0;
    for (std::size_t dollar; (dollar = text.find('$', start)) != std::string::npos;
         start = dollar + 1)
        store_piece(text.substr(start, dollar - start), record);
    store_piece(text.substr(start), record);
}
