#pragma once
#include <QString>
#include <functional>
#include <optional>

// The signed-in account: session, access state and token. Until accounts are
// built, the stand-in lets everyone dictate with the developer token (or none)
// and has no stored session; tests put their own store in its place.
// Thread: main; completions run on the main thread.
class AccountStore {
  public:
    virtual ~AccountStore() = default;
    static AccountStore& shared();
    // Replaces the shared store (tests); null puts the stand-in back.
    static void install(AccountStore* store);

    // A reason text when dictation is not allowed, else none.
    virtual std::optional<QString> cantDictate();
    virtual bool hasSession() const;
    // "enabled", "disabled", "waitlist" or "unknown".
    virtual QString access() const;
    virtual void refreshAccess(std::function<void()> completion = {});
    // Refreshes the token; `completion(ok)`.
    virtual void refresh(std::function<void(bool ok)> completion);
    // Runs `action` once the token is good for at least 60 more seconds (at once
    // without a session).
    virtual void withFreshToken(std::function<void()> action);
};
