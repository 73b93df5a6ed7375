#pragma once
// The server's control files: versioninfo.vif (version_info, read through a
// byte_reader) and the master-version record (master_record).
//
// versioninfo.vif, little-endian, unpadded:
//   "QM_VIF", format byte (<= 1), version (int32), record count N (int32),
//   N x { name length L (int32), L name bytes (UTF-8), size (int32), flags (byte),
//         digest length (byte, 16), 16 digest bytes }
// Bytes after the last record are ignored.

#include "file_info.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// A reading position over bytes from memory or from a stdio stream. The buffer
// only grows as bytes actually arrive, so a length field can never make it
// allocate much more than the input holds.
class byte_reader {
  public:
    // Over a copy of `count` bytes of memory; never refills.
    byte_reader(std::int32_t count, const void* data);
    // Over a stream, refilling a buffer that starts at 1024 bytes.
    explicit byte_reader(std::FILE* stream);

    // Replaces the bytes with a copy of a new memory block.
    void assign(std::int32_t count, const void* data);

    // True when n unread bytes are available.
    bool need(std::int32_t n);
    bool read_int32(std::int32_t& value);
    bool read_byte(std::uint8_t& value);
    // Takes n bytes; false (nothing consumed) when they are not there.
    bool read_bytes(std::int32_t n, void* out);
    // A record, filled as far as the bytes reach; a record whose name length is
    // negative or whose digest length is not 16 stops early and stays invalid.
    file_info read_record();

  private:
    bool refill(std::int32_t n);
    void grow(std::int32_t capacity);

    std::FILE* stream_ = nullptr;
    std::int32_t end_ = 0;
    std::int32_t pos_ = 0;
    std::unique_ptr<unsigned char[]> buffer_;
    std::int32_t capacity_ = 0;
};

class version_info {
  public:
    static constexpr const char* standard_magic = "QM_VIF";
    static constexpr std::int32_t standard_format = 1;

    version_info(std::string magic, std::int32_t supported_format);

    // Deletes every record and sets the version to 0.
    void clear();
    // True when the header matched and all announced records were read and valid.
    // On false the object holds what was accepted before the failure.
    bool read(byte_reader& reader);
    // Writes the whole file at the stream's position; true when every write was
    // complete.
    bool write(std::FILE* stream) const;
    // The first record with exactly this name (bytewise), or null. Looks up an index
    // that first takes in the records appended to `files` since the last look-up, so
    // each record is indexed once however often it is asked for. Not for two threads
    // at once.
    file_info* find(const std::string& name) const;

    std::string magic;
    std::int32_t version = 0;
    std::int32_t supported_format;
    // Records are only ever appended, or all removed by clear().
    std::vector<std::unique_ptr<file_info>> files;

  private:
    mutable std::unordered_map<std::string, file_info*> index_by_name;
    mutable std::size_t indexed_count = 0;
};

// The master-version record: key/value pairs; an absent key reads as "".
class master_record {
  public:
    const std::string& value(const std::string& key) const;
    void set(const std::string& key, const std::string& value);
    const std::map<std::string, std::string>& values() const { return values_; }
    // The first key that was set twice. A publisher writes each key once, so a
    // record with one came from a value that held a "$" of its own.
    const std::optional<std::string>& repeated_key() const { return repeated_key_; }

  private:
    std::map<std::string, std::string> values_;
    std::optional<std::string> repeated_key_;
};

// Splits "key=value$key=value..." into the record: the key is verbatim, the value
// trimmed of white space; pieces without "=" are skipped; later keys win. Every
// pair is logged as "MasterVersion: key=value". A key given twice is noted.
void parse_master_version(const std::string& text, master_record& record);
