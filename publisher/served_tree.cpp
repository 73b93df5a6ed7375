#include "name_rules.h"
#include "publish_errors.h"
#include "tree_source.h"

#include <curl/curl.h>

#include <algorithm>

namespace {

std::size_t append_bytes(char* data, std::size_t size, std::size_t count, void* target) {
    auto* content = static_cast<bytes*>(target);
    content->insert(content->end(), data, data + size * count);
    return size * count;
}

class served_tree_source final : public tree_source {
  public:
    explicit served_tree_source(std::string base_url) : base_url_(std::move(base_url)) {
        if (!base_url_.ends_with('/'))
            base_url_ += '/';
        curl_global_init(CURL_GLOBAL_DEFAULT);
        handle_ = curl_easy_init();
        if (!handle_)
            throw publish_failure("libcurl could not start");
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, append_bytes);
        curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle_, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, 30L);
        curl_easy_setopt(handle_, CURLOPT_USERAGENT, "quillomark-publish");
    }
    ~served_tree_source() override {
        curl_easy_cleanup(handle_);
        curl_global_cleanup();
    }
    served_tree_source(const served_tree_source&) = delete;
    served_tree_source& operator=(const served_tree_source&) = delete;

    fetch_result fetch(const std::string& path) override {
        std::string escaped = url_escaped_name(path);
        std::replace(escaped.begin(), escaped.end(), '\\', '/');
        const std::string url = base_url_ + escaped;
        bytes content;
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &content);
        if (const CURLcode result = curl_easy_perform(handle_); result != CURLE_OK)
            return {std::nullopt, curl_easy_strerror(result)};
        long status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        if (status != 200)
            return {std::nullopt, "HTTP status " + std::to_string(status)};
        return {std::move(content), ""};
    }

  private:
    std::string base_url_;
    CURL* handle_ = nullptr;
};

} // namespace

std::unique_ptr<tree_source> served_tree(std::string base_url) {
    return std::make_unique<served_tree_source>(std::move(base_url));
}
