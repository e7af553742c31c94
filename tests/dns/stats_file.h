// The responder's statistics file, as tests read it: one "name count" pair
// a line (queries, queries_tcp, rcode_nxdomain, ...).
#pragma once

#include <fstream>
#include <map>
#include <string>

inline std::map<std::string, long> read_stats_file(const std::string &path)
{
    std::map<std::string, long> stats;
    std::ifstream in(path);
    std::string key;
    long value = 0;
    while (in >> key >> value)
        stats[key] = value;
    return stats;
}
