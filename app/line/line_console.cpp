#include "app/line/line_console.h"

#include <chrono>

#include "app/access/credentials.h"
#include "records/record_store.h"

namespace {

std::string utc_now() {
  using namespace std::chrono;
  return record_utc_text(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

int refused(std::ostream& err, const std::string& reason) {
  err << "orvaload-line: " << reason << "\n";
  return LINE_COMMAND_REFUSED;
}

int credential_add(const LineCommand& command, LineDb& db, std::ostream& out,
                   std::ostream& err) {
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
  return LINE_COMMAND_DONE;
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

} // namespace

void line_commands_add(CLI::App& app, LineCommand* command) {
  CLI::App* credential = app.add_subcommand(
      "credential", "Make, list and revoke the credentials of stations and viewers");
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
  revoke->add_option("name", command->name, "The credential's name")
      ->required()
      ->type_name("NAME");
  revoke->callback([command] { command->what = "credential revoke"; });
}

int line_command_run(const LineCommand& command, LineDb& db, std::ostream& out, std::ostream& err) {
  const LineDbResult started = db.start();
  if (!started.ok()) return refused(err, started.reason);
  if (command.what == "credential add") return credential_add(command, db, out, err);
  if (command.what == "credential list") return credential_list(db, out, err);
  const LineDbResult revoked = db.credential_revoke(command.name, utc_now());
  return revoked.ok() ? LINE_COMMAND_DONE : refused(err, revoked.reason);
}
