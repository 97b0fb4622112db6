#include "app/line/line_console.h"

#include <chrono>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "app/access/credentials.h"
#include "app/access/people.h"
#include "app/access/secret_prompt.h"
#include "app/access/secrets.h"
#include "records/record_store.h"

namespace {

using Json = nlohmann::ordered_json;

std::string utc_now() {
  using namespace std::chrono;
  return record_utc_text(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// Who a command's audit entry names: the system's user at the console.
std::string console_user() {
  for (const char* name : {"USER", "LOGNAME"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return std::string("console:") + value;
  }
  return "console";
}

int refused(std::ostream& err, const std::string& reason) {
  err << "orvaload-line: " << reason << "\n";
  return LINE_COMMAND_REFUSED;
}

// The change is done: its entry in the line's audit trail.
int audited(LineDb& db, std::ostream& err, const std::string& action, const std::string& subject,
            const Json& details) {
  const LineDbResult kept = db.audit_append(LINE_AUDIT_ORIGIN, utc_now(), console_user(), action,
                                            subject, details.dump());
  return kept.ok() ? LINE_COMMAND_DONE : refused(err, "done, but the audit trail: " + kept.reason);
}

int credential_add(const LineCommand& command, LineDb& db, std::ostream& out, std::ostream& err) {
  const std::optional<Role> role = role_from_name(command.role);
  if (!role || *role == Role::admin) {
    return refused(err, "a credential is for a station or a viewer, not '" + command.role +
                            "' (the admin's is the token of --token-file)");
  }
  if (!credential_name_is_valid(command.name)) {
    return refused(err, "'" + command.name + "' is no name: " + CREDENTIAL_NAME_RULE);
  }
  const std::string token = credential_token();
  const LineDbResult added =
      db.credential_add({command.name, *role, credential_token_hash(token), utc_now(), ""});
  if (!added.ok()) return refused(err, added.reason);
  // The token alone, once: the database keeps its hash only.
  out << token << "\n";
  return audited(db, err, "credential.add", command.name, {{"after", {{"role", command.role}}}});
}

int credential_list(LineDb& db, std::ostream& out, std::ostream& err) {
  std::vector<CredentialRow> rows;
  const LineDbResult read = db.credentials(&rows);
  if (!read.ok()) return refused(err, read.reason);
  for (const CredentialRow& row : rows) {
    out << row.name << "\t" << role_name(row.role) << "\tmade " << row.created_at
        << (row.revoked_at.empty() ? "" : "\trevoked " + row.revoked_at) << "\n";
  }
  return LINE_COMMAND_DONE;
}

int person_add(const LineCommand& command, LineDb& db, std::ostream& err) {
  if (!person_name_is_valid(command.name)) return refused(err, PERSON_NAME_RULE);
  if (!person_role_from_name(command.role)) {
    return refused(err,
                   "--role is operator, supervisor, engineer or admin, not '" + command.role + "'");
  }
  const SecretPrompt secret = secret_prompt(command.name);
  if (!secret.ok) return refused(err, secret.problem);
  const LineDbResult added = db.person_add(
      {PEOPLE_LOCAL, command.name, command.role, secret_hash(secret.secret), utc_now(), ""});
  if (!added.ok()) return refused(err, added.reason);
  return audited(db, err, "person.add", command.name, {{"after", {{"role", command.role}}}});
}

int person_list(LineDb& db, std::ostream& out, std::ostream& err) {
  std::vector<PersonRow> rows;
  const LineDbResult read = db.people(&rows);
  if (!read.ok()) return refused(err, read.reason);
  for (const PersonRow& row : rows) {
    out << row.name << "\t" << row.role << "\tmade " << row.created_at
        << (row.disabled_at.empty() ? "" : "\tdisabled " + row.disabled_at) << "\n";
  }
  return LINE_COMMAND_DONE;
}

int person_change(const LineCommand& command, LineDb& db, std::ostream& err) {
  PersonRow row;
  bool found = false;
  const LineDbResult read = db.person(command.name, &row, &found);
  if (!read.ok()) return refused(err, read.reason);
  if (!found) return refused(err, "no one called '" + command.name + "' is on the line");
  const PersonRow before = row;
  if (command.what == "person disable") {
    if (!row.disabled_at.empty()) return refused(err, "'" + row.name + "' is disabled already");
    row.disabled_at = utc_now();
  } else {
    const SecretPrompt secret = secret_prompt(command.name);
    if (!secret.ok) return refused(err, secret.problem);
    row.secret_hash = secret_hash(secret.secret);
  }
  const LineDbResult changed = db.person_change(row);
  if (!changed.ok()) return refused(err, changed.reason);
  return audited(db, err, command.what == "person disable" ? "person.disable" : "person.reset",
                 command.name,
                 {{"before", {{"disabled_at", before.disabled_at}}},
                  {"after", {{"disabled_at", row.disabled_at}}}});
}

int audit_verify(LineDb& db, std::ostream& out, std::ostream& err) {
  std::vector<std::string> origins;
  const LineDbResult listed = db.audit_origins(&origins);
  if (!listed.ok()) return refused(err, listed.reason);
  std::string broken;
  for (const std::string& origin : origins) {
    std::vector<AuditEntry> chain;
    const LineDbResult read = db.audit_chain(origin, &chain);
    if (!read.ok()) return refused(err, read.reason);
    const std::string problem = ::audit_verify(chain);
    out << origin << ": " << chain.size() << " entries, "
        << (problem.empty() ? "whole" : "BROKEN: " + problem) << "\n";
    if (broken.empty()) broken = problem;
  }
  if (!broken.empty()) return refused(err, "the audit trail was tampered with: " + broken);
  return LINE_COMMAND_DONE;
}

} // namespace

void line_commands_add(CLI::App& app, LineCommand* command) {
  CLI::App* credential =
      app.add_subcommand("credential",
                         "Make, list and revoke the credentials of stations and viewers");
  credential->require_subcommand(1);
  CLI::App* add = credential->add_subcommand(
      "add", "Make a credential for a station or a viewer; its token is printed once");
  add->add_option("role", command->role, "station or viewer")->required()->type_name("ROLE");
  add->add_option("name", command->name, "The station's name, or the viewer's")
      ->required()
      ->type_name("NAME");
  add->callback([command] { command->what = "credential add"; });
  credential->add_subcommand("list", "List the credentials (never their tokens)")
      ->callback([command] { command->what = "credential list"; });
  CLI::App* revoke =
      credential->add_subcommand("revoke", "Revoke a credential: its token works no more");
  revoke->add_option("name", command->name, "The credential's name")->required()->type_name("NAME");
  revoke->callback([command] { command->what = "credential revoke"; });

  CLI::App* person =
      app.add_subcommand("person", "Add, list, disable and reset the people who sign in");
  person->require_subcommand(1);
  CLI::App* person_add = person->add_subcommand("add", "Add a person; the secret is asked for");
  person_add->add_option("name", command->name, "The person's name")->required()->type_name("NAME");
  person_add->add_option("--role", command->role, "operator, supervisor, engineer or admin")
      ->required()
      ->type_name("ROLE");
  person_add->callback([command] { command->what = "person add"; });
  person->add_subcommand("list", "List the people and their roles (never their secrets)")
      ->callback([command] { command->what = "person list"; });
  for (const char* verb : {"disable", "reset"}) {
    CLI::App* change =
        person->add_subcommand(verb, std::string(verb) == "disable"
                                         ? "The person may not sign in any more"
                                         : "Give the person a new secret (asked for)");
    change->add_option("name", command->name, "The person's name")->required()->type_name("NAME");
    change->callback([command, verb] { command->what = std::string("person ") + verb; });
  }

  CLI::App* audit = app.add_subcommand("audit", "The audit trails the line keeps");
  audit->require_subcommand(1);
  audit
      ->add_subcommand("verify", "Check every chain: exit 1 naming the first entry that was "
                                 "changed, removed or inserted")
      ->callback([command] { command->what = "audit verify"; });
}

int line_command_run(const LineCommand& command, LineDb& db, std::ostream& out, std::ostream& err) {
  const LineDbResult started = db.start();
  if (!started.ok()) return refused(err, started.reason);
  if (command.what == "credential add") return credential_add(command, db, out, err);
  if (command.what == "credential list") return credential_list(db, out, err);
  if (command.what == "person add") return person_add(command, db, err);
  if (command.what == "person list") return person_list(db, out, err);
  if (command.what == "person disable" || command.what == "person reset") {
    return person_change(command, db, err);
  }
  if (command.what == "audit verify") return audit_verify(db, out, err);
  const LineDbResult revoked = db.credential_revoke(command.name, utc_now());
  if (!revoked.ok()) return refused(err, revoked.reason);
  return audited(db, err, "credential.revoke", command.name, Json::object());
}
