// The operator page's files, embedded in the station at build time (Embed.cmake writes them).
#pragma once

#include <cstddef>
#include <string_view>

namespace station::web {

struct Asset {
    std::string_view path;         // as requested, e.g. "/app.js"
    std::string_view contentType;  // e.g. "text/javascript; charset=utf-8"
    std::string_view body;
};

extern const Asset kAssets[];
extern const std::size_t kAssetCount;

}  // namespace station::web
