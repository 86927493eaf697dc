#pragma once

#include <cstdint>
#include <string>

struct Account {
    std::int64_t id = 0;
    std::string email;
    std::string name;
};
