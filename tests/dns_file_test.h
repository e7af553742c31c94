// The fixture of the DNS cache file's tests: a cache file in a directory
// of its own, loaded into and saved from the table.
#pragma once

#include "basalt-core.h"
#include "lookup_dnsfile.h"
#include "lookup_table.h"
#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

class DnsFile : public EngineTest
{
  protected:
    // Loads content as a cache file; returns the table as "stamp a.b.c.d name".
    std::vector<std::string> load(const std::string &content)
    {
        host_table_clear();
        write_file(cache, content);
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, dns_file_load(cache.c_str()));
        printed = testing::internal::GetCapturedStdout();
        return rows();
    }

    static std::vector<std::string> rows()
    {
        std::vector<std::string> out;
        for (HostEntry *head : host_table()->lists) {
            for (HostEntry *e = head; e != nullptr; e = e->next) {
                char line[32];
                std::snprintf(line, sizeof line, "%u %u.%u.%u.%u ", e->time_stamp, e->address[0], e->address[1],
                              e->address[2], e->address[3]);
                out.push_back(line + std::string(entry_name(*e)));
            }
        }
        for (const Host6Entry *e = host_table()->ipv6_first; e != nullptr; e = e->next)
            out.push_back(std::to_string(e->time_stamp) + " " + e->text + " " + entry_name(*e));
        for (const KeptLine *k = host_table()->kept_first; k != nullptr; k = k->next)
            out.push_back("K " + std::string(k->text, static_cast<size_t>(k->length)));
        return out;
    }

    // Adds an entry to the table as a run's lookup would: address is its 4
    // bytes ("\x01\x02\x03\x04").
    static void add_entry(const char *address, uint32_t stamp, const char *name)
    {
        HostEntry *entry = tracked_new<HostEntry>("dns_file_test", __LINE__);
        std::memcpy(entry->address, address, 4);
        entry->time_stamp = stamp;
        std::snprintf(entry->name, sizeof entry->name, "%s", name);
        HostEntry *hint = nullptr;
        ASSERT_EQ(1, host_table_insert(entry, INSERT_UNIQUE, &hint));
    }

    // Saves the table to cache; returns what was printed.
    std::string save(uint32_t flags, const std::string &path = "")
    {
        testing::internal::CaptureStdout();
        last_save = dns_file_save((path.empty() ? cache : path).c_str(), flags);
        return testing::internal::GetCapturedStdout();
    }

    TempDir dir;
    std::string cache = dir.file("dns.txt");
    std::string printed;
    int last_save = -1;
};

// The names in a directory, sorted.
inline std::vector<std::string> directory_names(const std::string &path)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
