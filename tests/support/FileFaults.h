#pragma once

#include "platform/Faults.h"

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelmor::test {

using namespace kelmor::capture;

using platform::FileOp;

// Counts the file operations and fails the ones a test asks to, through the
// file layer's seam: a full disk, a refused truncate, a failing sync,
// whatever the platform.
class FileFaults final : public platform::FaultHook {
public:
    FileFaults() : scope_(*this) {}

    struct Fault {
        std::string reason;
        std::string pathEnding; // only paths ending so; empty for any
        std::size_t lands = 0;  // for a write: bytes written before it fails
    };

    void fail(FileOp op, Fault fault) { faults_[op] = std::move(fault); }
    void heal() { faults_.clear(); }

    // Runs an action just before the nth such operation on a path ending so
    // (counting from 1): another program at work in the middle of a call.
    void meanwhile(FileOp op, std::string pathEnding, std::size_t nth,
                   std::function<void()> action) {
        actions_.push_back({op, std::move(pathEnding), nth, std::move(action)});
    }

    // The operations so far, in order, with their paths.
    struct Call {
        FileOp op;
        std::string path;
    };
    const std::vector<Call>& calls() const { return calls_; }
    std::size_t count(FileOp op, const std::string& pathEnding = {}) const {
        std::size_t n = 0;
        for (const Call& c : calls_)
            n += c.op == op && c.path.ends_with(pathEnding) ? 1 : 0;
        return n;
    }

    std::optional<std::string> before(FileOp op, const std::string& path,
                                      std::size_t* size) override {
        calls_.push_back({op, path});
        for (Action& a : actions_)
            if (a.op == op && a.nth > 0 && path.ends_with(a.pathEnding) && --a.nth == 0)
                a.run();
        const auto it = faults_.find(op);
        if (it == faults_.end() || !path.ends_with(it->second.pathEnding))
            return std::nullopt;
        if (size != nullptr)
            *size = std::min(*size, it->second.lands);
        return it->second.reason;
    }

private:
    struct Action {
        FileOp op;
        std::string pathEnding;
        std::size_t nth;
        std::function<void()> run;
    };
    std::map<FileOp, Fault> faults_;
    std::vector<Action> actions_;
    std::vector<Call> calls_;
    platform::ScopedFaultHook scope_; // last: the hook is whole before it is installed
};

} // namespace kelmor::test
