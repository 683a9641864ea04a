// A command runner that answers from a script, for logic tested in memory:
// it records every argument vector, answers from the first rule whose
// leading arguments match (a rule may be used a limited number of times and
// may act, for instance write the file a conversion would write), and
// answers anything else with success and no output.

#pragma once

#include <algorithm>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "quorlane/command_runner.h"

namespace quorlane::test_support {

using Argv = std::vector<std::string>;

inline CommandResult answer(const std::string& out, int exitCode = 0, const std::string& err = {}) {
  CommandResult result;
  result.started = true;
  result.exitCode = exitCode;
  result.out = out;
  result.err = err;
  return result;
}

inline CommandResult failure(const std::string& err, int exitCode = 1) {
  return answer({}, exitCode, err);
}

class ScriptedRunner : public CommandRunner {
 public:
  using Effect = std::function<void(const Argv&)>;

  struct Rule {
    Argv prefix;
    CommandResult result;
    Effect effect;
    int times = -1;  // unlimited
  };

  ScriptedRunner& on(Argv prefix, CommandResult result, Effect effect = {}, int times = -1) {
    rules_.push_back({std::move(prefix), std::move(result), std::move(effect), times});
    return *this;
  }
  // Rules added later are tried first: a test overrides a common script.
  ScriptedRunner& first(Argv prefix, CommandResult result, Effect effect = {}, int times = -1) {
    rules_.insert(rules_.begin(), {std::move(prefix), std::move(result), std::move(effect), times});
    return *this;
  }

  // The effect runs outside the lock: calls from other threads go on meanwhile.
  CommandResult run(const Argv& argv) override {
    CommandResult result = answer({});
    Effect effect;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      calls.push_back(argv);
      for (Rule& rule : rules_) {
        if (rule.times == 0 || argv.size() < rule.prefix.size() ||
            !std::equal(rule.prefix.begin(), rule.prefix.end(), argv.begin())) {
          continue;
        }
        if (rule.times > 0) --rule.times;
        result = rule.result;
        effect = rule.effect;
        break;
      }
    }
    if (effect) effect(argv);
    return result;
  }

  CommandResult run(const Argv& argv, const OutputWatcher& watch) override {
    CommandResult result = run(argv);
    if (!watch(result.out, result.err)) result.exitCode = 143;
    return result;
  }

  // The calls whose leading arguments are `prefix`.
  std::vector<Argv> callsTo(const Argv& prefix) const {
    std::vector<Argv> found;
    for (const Argv& call : calls) {
      if (call.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), call.begin())) {
        found.push_back(call);
      }
    }
    return found;
  }

  std::vector<Argv> calls;

 private:
  // Calls may come from several threads; a copy of the runner gets a lock of its own.
  struct Lock : std::mutex {
    Lock() = default;
    Lock(const Lock&) : std::mutex() {}
    Lock& operator=(const Lock&) { return *this; }
  };

  std::vector<Rule> rules_;
  Lock lock_;
};

// A run in a forked child hands its calls back through a file: one call a
// line, arguments apart by a unit separator.
inline void writeCalls(const std::string& path, const std::vector<Argv>& calls) {
  std::ofstream list(path);
  for (const Argv& call : calls) {
    for (std::size_t i = 0; i < call.size(); ++i) list << (i ? "\x1f" : "") << call[i];
    list << '\n';
  }
}

inline std::vector<Argv> readCalls(const std::string& path) {
  std::vector<Argv> calls;
  std::ifstream lines(path);
  for (std::string line; std::getline(lines, line);) {
    Argv call;
    std::istringstream args(line);
    for (std::string arg; std::getline(args, arg, '\x1f');) call.push_back(arg);
    calls.push_back(call);
  }
  return calls;
}

}  // namespace quorlane::test_support
