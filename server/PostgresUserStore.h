#pragma once
#include <memory>
#include <string>

#include "UserStore.h"

namespace vserver {

// The users in a PostgreSQL database, several servers sharing it (libpqxx). Never null; a
// database that could not be reached or brought up to date says so in problem().
std::unique_ptr<UserStore> openPostgresUserStore(const std::string& url);

}  // namespace vserver
