// The page's own files (page/), compiled into the program: a request
// names one of these or nothing; no path ever reaches the file system.
#pragma once

#include <cstddef>

struct Asset {
    const char *path;  // "/view.js"
    const char *type;  // its Content-Type
    const char *text;
};

extern const Asset kAssets[];
extern const std::size_t kAssetCount;
