// orvaload-cli --records FILE person ... | audit verify: the people of a
// station without a line, and the check of its audit trail, on the machine
// where its record store is. Whoever may write the store there acts as the
// station's admin; each change is an entry of the station's audit trail in
// the name of the system's user.
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <nlohmann/json.hpp>

#include "app/access/people.h"
#include "app/access/secret_prompt.h"
#include "app/access/secrets.h"
#include "app/cli/cli_commands.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_system.h"
#include "app/runs/run_record.h"

namespace {

// More entries than any chain holds.
constexpr size_t ENTRIES_ALL = 0xFFFFFFFF;

CliEnding refused(const std::string& reason) {
  return {CliStatus::failed, reason};
}

std::string console_user() {
  for (const char* name : {"USER", "USERNAME", "LOGNAME"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return std::string("console:") + value;
  }
  return "console";
}

CliEnding person_command(const CliOptions& options, RecordStore& store, const std::string& origin) {
  const std::string now = record_utc_text(cli_wall_ms());
  const auto audited = [&](const std::string& action, const nlohmann::ordered_json& details) {
    const StoreResult kept =
        store.audit_append(origin, now, console_user(), action, options.person, details.dump());
    return kept.ok() ? CliEnding{} : refused(kept.reason);
  };
  if (options.command == "person list") {
    std::vector<PersonRow> rows;
    const StoreResult read = store.people(PEOPLE_LOCAL, &rows);
    if (!read.ok()) return refused(read.reason);
    for (const PersonRow& row : rows) {
      std::cout << row.name << "\t" << row.role << "\tmade " << row.created_at
                << (row.disabled_at.empty() ? "" : "\tdisabled " + row.disabled_at) << "\n";
    }
    return {};
  }
  if (!person_name_is_valid(options.person)) return {CliStatus::usage, PERSON_NAME_RULE};
  if (options.command == "person add") {
    if (!person_role_from_name(options.person_role)) {
      return {CliStatus::usage, "--role is operator, supervisor, engineer or admin, not '" +
                                    options.person_role + "'"};
    }
    const SecretPrompt secret = secret_prompt(options.person);
    if (!secret.ok) return refused(secret.problem);
    const PersonRow row{
        PEOPLE_LOCAL, options.person, options.person_role, secret_hash(secret.secret), now, ""};
    const StoreResult added = store.person_add(row);
    if (!added.ok()) return refused(added.reason);
    return audited("person.add", {{"after", {{"role", row.role}}}});
  }
  PersonRow row;
  bool found = false;
  const StoreResult read = store.person(PEOPLE_LOCAL, options.person, &row, &found);
  if (!read.ok()) return refused(read.reason);
  if (!found) return refused("no one called '" + options.person + "' is in " + store.path());
  const PersonRow before = row;
  if (options.command == "person disable") {
    if (!row.disabled_at.empty()) return refused("'" + row.name + "' is disabled already");
    row.disabled_at = now;
  } else {
    const SecretPrompt secret = secret_prompt(options.person);
    if (!secret.ok) return refused(secret.problem);
    row.secret_hash = secret_hash(secret.secret);
  }
  const StoreResult changed = store.person_change(row);
  if (!changed.ok()) return refused(changed.reason);
  return audited(options.command == "person disable" ? "person.disable" : "person.reset",
                 {{"before", {{"disabled_at", before.disabled_at}}},
                  {"after", {{"disabled_at", row.disabled_at}}}});
}

CliEnding audit_verify_command(RecordStore& store) {
  std::vector<std::string> origins;
  const StoreResult listed = store.audit_origins(&origins);
  if (!listed.ok()) return refused(listed.reason);
  std::string broken;
  for (const std::string& origin : origins) {
    std::vector<AuditEntry> chain;
    const StoreResult read = store.audit_after(origin, 0, ENTRIES_ALL, &chain);
    if (!read.ok()) return refused(read.reason);
    const std::string problem = audit_verify(chain);
    std::cout << origin << ": " << chain.size() << " entries, "
              << (problem.empty() ? "whole" : "BROKEN: " + problem) << "\n";
    if (problem.empty() || !broken.empty()) continue;
    broken = problem;
  }
  if (!broken.empty())
    return refused("the audit trail of " + store.path() + " was tampered with: " + broken);
  return {};
}

} // namespace

CliEnding cli_records_command(const CliOptions& options) {
  const StoreOpening records = cli_open_records(options.records_path);
  if (!records.store) return {CliStatus::usage, records.reason};
  if (options.command == "audit verify") return audit_verify_command(*records.store);
  const std::string origin =
      options.station_name.empty() ? run_record_host() : options.station_name;
  return person_command(options, *records.store, origin);
}
