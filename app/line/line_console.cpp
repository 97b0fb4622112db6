#include "app/line/line_console.h"

#include <chrono>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "app/access/credentials.h"
#include "app/access/people.h"
#include "app/access/release_key.h"
#include "app/access/secret_prompt.h"
#include "app/access/secrets.h"
#include "image/image_file.h"
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

// The firmware commands, by the catalogue's own rules, the console as an
// engineer and admin.
int firmware_command(const LineCommand& command, LineDb& db, const FirmwareRules& rules,
                     std::ostream& out, std::ostream& err) {
  FirmwareCatalogue catalogue(
      db, rules,
      [&db](const std::string& who, const std::string& action, const std::string& subject,
            const Json& details) {
        db.audit_append(LINE_AUDIT_ORIGIN, utc_now(), who, action, subject, details.dump());
      },
      utc_now);
  const auto said = [&err](const LineReply& reply) {
    return refused(err,
                   reply.body.value("error", "refused (" + std::to_string(reply.status) + ")"));
  };
  if (command.what == "firmware add") {
    FirmwareUpload upload{command.product, command.version, command.notes, "", 0x4000};
    if (!command.address.empty()) {
      char* end = nullptr;
      const unsigned long long value = std::strtoull(command.address.c_str(), &end, 0);
      if (end == command.address.c_str() || *end != '\0' || value > 0xFFFFFFFFull)
        return refused(err, "--address needs a 32-bit address such as 0x4000");
      upload.raw_address = static_cast<uint32_t>(value);
    }
    std::vector<uint8_t> bytes;
    const ImageCheck read = image_read_file(command.file, &bytes);
    if (!read.ok()) return refused(err, command.file + ": " + read.reason);
    if (!command.signature_file.empty()) {
      std::vector<uint8_t> signature;
      const std::string wrong = release_signature_read_file(command.signature_file, &signature);
      if (!wrong.empty()) return refused(err, wrong);
      upload.signature.assign(signature.begin(), signature.end());
    }
    const LineReply added =
        catalogue.add(console_user(), upload, std::string(bytes.begin(), bytes.end()));
    if (added.status != 201) return said(added);
    // The id alone, for scripts.
    out << added.body["id"].get<int64_t>() << "\n";
    return LINE_COMMAND_DONE;
  }
  if (command.what == "firmware release") {
    const LineReply released = catalogue.release(console_user(), command.image, command.max_units);
    if (released.status >= 300) return said(released);
    out << released.body["state"].get<std::string>() << " (approved by "
        << released.body["approved_by"].size() << " of "
        << released.body["approvals_needed"].get<int>() << ")\n";
    return LINE_COMMAND_DONE;
  }
  if (command.what == "firmware withdraw") {
    const LineReply withdrawn = catalogue.withdraw(console_user(), command.image, command.reason);
    return withdrawn.status == 200 ? LINE_COMMAND_DONE : said(withdrawn);
  }
  const LineReply listed = catalogue.list();
  if (listed.status != 200) return said(listed);
  for (const Json& image : listed.body["images"]) {
    out << image["id"].get<int64_t>() << "\t" << image["product"].get<std::string>() << "\t"
        << image["version"].get<std::string>() << "\t" << image["state"].get<std::string>() << "\t"
        << image["image_sha256"].get<std::string>() << "\t"
        << image["uploaded_by"].get<std::string>()
        << (image["max_units"].is_null()
                ? ""
                : "\tmax " + std::to_string(image["max_units"].get<int64_t>()) + " units")
        << (image["withdraw_reason"].is_null()
                ? ""
                : "\twithdrawn: " + image["withdraw_reason"].get<std::string>())
        << "\n";
  }
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

  CLI::App* firmware =
      app.add_subcommand("firmware", "Add, release, withdraw and list firmware images");
  firmware->require_subcommand(1);
  CLI::App* add_image = firmware->add_subcommand(
      "add", "Add an image as a draft (raw binary, Intel HEX or S-record); prints its id");
  add_image->add_option("file", command->file, "The firmware file")->required()->type_name("FILE");
  add_image->add_option("--product", command->product, "The product it is for")
      ->required()
      ->type_name("P");
  add_image->add_option("--version", command->version, "Its version")->required()->type_name("V");
  add_image->add_option("--notes", command->notes, "Notes for the people who release it")
      ->type_name("TEXT");
  add_image
      ->add_option("--signature", command->signature_file,
                   "Its detached Ed25519 signature (openssl pkeyutl -sign -rawin)")
      ->type_name("SIGFILE");
  add_image
      ->add_option("--address", command->address, "Device address of a raw binary (default 0x4000)")
      ->type_name("ADDR");
  add_image->callback([command] { command->what = "firmware add"; });
  CLI::App* release =
      firmware->add_subcommand("release",
                               "Approve an image; released once it has the approvals it needs");
  release->add_option("id", command->image, "The image's id")->required()->type_name("ID");
  release->add_option("--max-units", command->max_units, "At most N units flash it")
      ->check(CLI::PositiveNumber.description(""))
      ->type_name("N");
  release->callback([command] { command->what = "firmware release"; });
  CLI::App* withdraw =
      firmware->add_subcommand("withdraw", "Withdraw an image: no station starts a run with it");
  withdraw->add_option("id", command->image, "The image's id")->required()->type_name("ID");
  withdraw->add_option("--reason", command->reason, "Why")->required()->type_name("TEXT");
  withdraw->callback([command] { command->what = "firmware withdraw"; });
  firmware->add_subcommand("list", "List the images, the newest first")->callback([command] {
    command->what = "firmware list";
  });
}

int line_command_run(const LineCommand& command, LineDb& db, const FirmwareRules& rules,
                     std::ostream& out, std::ostream& err) {
  const LineDbResult started = db.start();
  if (!started.ok()) return refused(err, started.reason);
  if (command.what.rfind("firmware ", 0) == 0) {
    return firmware_command(command, db, rules, out, err);
  }
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
