// SPDX-License-Identifier: Apache-2.0
// Files of the fuzz targets that run a whole tool in process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A folder of this process's own, made at the first call: /tmp/NAME.XXXXXX.
inline const std::string &fuzz_work_dir(const char *pName)
{
    static std::string dir = [pName] {
        std::string templ = std::string("/tmp/") + pName + ".XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) {
            abort();
        }
        return templ;
    }();
    return dir;
}

// Writes n bytes at p as the whole file path; aborts when it cannot.
inline void fuzz_write_file(const std::string &path, const uint8_t *p, size_t n)
{
    FILE *fp = fopen(path.c_str(), "wb");
    if (fp == nullptr || fwrite(p, 1, n, fp) != n || fclose(fp) != 0) {
        abort();
    }
}

// The bytes of path; empty when it cannot be opened.
inline std::vector<uint8_t> fuzz_read_file(const std::string &path)
{
    std::vector<uint8_t> data;
    FILE *fp = fopen(path.c_str(), "rb");
    uint8_t buf[65536];
    size_t n = 0;
    while (fp != nullptr && (n = fread(buf, 1, sizeof(buf), fp)) > 0) {
        data.insert(data.end(), buf, buf + n);
    }
    if (fp != nullptr) {
        fclose(fp);
    }
    return data;
}
