#include "core/AccountStore.h"

#include "core/StandIn.h"

namespace {
AccountStore* installed = nullptr;
}

AccountStore& AccountStore::shared() {
    static AccountStore standIn;
    return installed ? *installed : standIn;
}

void AccountStore::install(AccountStore* store) {
    installed = store;
}

std::optional<QString> AccountStore::cantDictate() {
    return std::nullopt;
}

bool AccountStore::hasSession() const {
    return false;
}

QString AccountStore::access() const {
    return QStringLiteral("unknown");
}

void AccountStore::refreshAccess(std::function<void()> completion) {
    StandIn::note(QStringLiteral("Account"));
    if (completion) completion();
}

void AccountStore::refresh(std::function<void(bool)> completion) {
    StandIn::note(QStringLiteral("Account"));
    if (completion) completion(false);
}

void AccountStore::withFreshToken(std::function<void()> action) {
    if (action) action();
}
