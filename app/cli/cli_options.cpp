#include "app/cli/cli_options.h"

#include <CLI/CLI.hpp>

#include "app/runs/unit_tag.h"
#include "serial/number_text.h"

#ifndef ORVA_VERSION_TEXT
#error "the build defines ORVA_VERSION_TEXT"
#endif

namespace {

const char* const DESCRIPTION =
    "Upgrades the firmware of an ORVA controller through its boot loader, with the\n"
    "image built into this program. Activate the data menu on the controller first.\n"
    "A firmware file given with --image is sent instead (see below).\n";

const char* const FOOTER =
    "PORT is COMn, \\\\.\\COMn, (Linux) a device path such as /dev/ttyUSB0, or\n"
    "usb:SERIAL for the USB adapter with that serial number, or usb-port:LOCATION\n"
    "for the one plugged into that USB socket (both shown by --list).\n"
    "Every status text goes to standard output as the upgrade dialog shows it; the\n"
    "progress line goes to standard error when that is a terminal. Ctrl-C cancels:\n"
    "the run stops at its next progress message.\n"
    "With several --port options every controller is upgraded at once; each text\n"
    "then comes behind its port's name, and a table of results ends the run.\n"
    "\n"
    "FILE is Intel HEX, S-records or a raw binary, told apart by its content.\n"
    "Its span runs from its lowest to its highest address; gaps are filled with\n"
    "0xFF and named on standard output. A file that fails a check (syntax,\n"
    "checksum, overlapping records, below 0x4000, past 0xFFFFFFFF, over 16 MiB)\n"
    "is refused before any port is opened.\n"
    "\n"
    "Exit status:\n"
    "  0  the controller took the whole image and was told to start it\n"
    "     (last line \"Program success, starting application...\", no failure text)\n"
    "  1  the upgrade failed or was cancelled (on any port)\n"
    "  2  bad usage, or a firmware file refused (nothing was sent)\n"
    "  3  the port (any port) could not be opened (reason and hint on standard error)\n"
    "  4  every controller was upgraded, but a --log record line could not be written";

CliEnding usage(const std::string& reason) {
  return {CliStatus::usage, reason};
}

} // namespace

std::optional<CliEnding> parse_command_line(int argc, const char* const* argv, CliOptions& options,
                                            std::ostream& out, std::ostream& err) {
  CLI::App app{DESCRIPTION, "orvaload-cli"};
  app.footer(FOOTER);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return std::string("orvaload-cli: ") + e.what() + "\nRun with --help for more information.\n";
  });
  app.set_version_flag("-V,--version", ORVA_VERSION_TEXT, "Print the version and exit");
  // One port per --port; give it again for more controllers at once.
  app.add_option("-p,--port", options.ports, "Serial port of a controller; repeat for several")
      ->type_name("PORT")
      ->allow_extra_args(false);
  app.add_flag("-l,--list", options.list, "List the serial ports found and exit");
  app.add_option("-i,--image", options.image,
                 "Send this firmware file instead of the built-in image")
      ->type_name("FILE");
  app.add_option("--release-key", options.release_key,
                 "Take a firmware file only with its Ed25519 signature (FILE.sig) by this "
                 "public key (PEM)")
      ->type_name("KEYFILE");
  std::string address;
  app.add_option("-a,--address", address, "Device address of a raw binary FILE (default 0x4000)")
      ->type_name("ADDR");
  app.add_flag("--info", options.info,
               "Print the span, size and SHA-256 of the image to send, and exit");
  app.add_flag("--json", options.json, "Write JSON events to standard output instead of texts");
  app.add_option("--log", options.log_path, "Append a record line per port run to FILE")
      ->type_name("FILE");
  app.add_option("--records", options.records_path,
                 "Keep a row of every run in the record store FILE (SQLite); a station "
                 "keeps one without it, records-NAME.db in the state folder")
      ->type_name("FILE");
  app.add_option("--station-name", options.station_name,
                 "The station's name in the record store (default: this computer's name)")
      ->type_name("NAME");
  app.add_option("--line", options.line_url,
                 "With --serve: report every run and the slots' state to the line server at URL")
      ->type_name("URL");
  app.add_option("--line-token-file", options.line_token_file,
                 "With --line: the line server's token is in FILE")
      ->type_name("FILE");
  app.add_option("--line-cafile", options.line_cafile,
                 "With an https:// --line: trust its certificate by this CA (default: the "
                 "system's)")
      ->type_name("FILE");
  app.add_option("--product", options.product,
                 "With --line: flash only the line's current release of product P")
      ->type_name("P");
  app.add_option("--release-grace", options.release_grace_hours,
                 "With --product: runs start with a release the line has not confirmed for at "
                 "most HOURS")
      ->check(CLI::Range(1, 24 * 365).description(""))
      ->type_name("HOURS")
      ->capture_default_str();
  app.add_option("--tls-cert", options.tls_cert,
                 "With --serve: serve HTTPS with the certificate (chain) in FILE, PEM")
      ->type_name("FILE");
  app.add_option("--tls-key", options.tls_key,
                 "With --tls-cert: its private key in FILE, PEM, its owner's alone")
      ->type_name("FILE");
  app.add_option("--tag", options.tags,
                 "The unit's identity for its events and record; one per --port, in order")
      ->type_name("TAG")
      ->allow_extra_args(false);
  app.add_option("--serve", options.serve,
                 "Serve the ports as a station's slots: a web page and an HTTP API")
      ->type_name("[ADDRESS:]PORT");
  app.add_option("--token-file", options.token_file,
                 "With --serve: every request must carry the token in FILE")
      ->type_name("FILE");

  app.add_flag("--people-required", options.people_required,
               "With --serve: starting, cancelling and clearing need a person signed in");
  app.add_option("--session-hours", options.session_hours,
                 "With --serve: a sign-in lasts at most HOURS")
      ->check(CLI::Range(1, 24).description(""))
      ->type_name("HOURS")
      ->capture_default_str();
  app.add_option("--session-idle-minutes", options.session_idle_minutes,
                 "With --serve: a sign-in ends after MINUTES without a request")
      ->check(CLI::Range(1, 480).description(""))
      ->type_name("MINUTES")
      ->capture_default_str();

  // Commands on the record store of --records, for a station without a line.
  CLI::App* person = app.add_subcommand(
      "person", "The people who sign in at a station without a line (with --records FILE)");
  person->require_subcommand(1);
  CLI::App* add = person->add_subcommand("add", "Add a person; the secret is asked for");
  add->add_option("name", options.person, "The person's name")->required()->type_name("NAME");
  add->add_option("--role", options.person_role, "operator, supervisor, engineer or admin")
      ->required()
      ->type_name("ROLE");
  add->callback([&options] { options.command = "person add"; });
  person->add_subcommand("list", "List the people and their roles (never their secrets)")
      ->callback([&options] { options.command = "person list"; });
  for (const char* verb : {"disable", "reset"}) {
    CLI::App* change =
        person->add_subcommand(verb, std::string(verb) == "disable"
                                         ? "The person may not sign in any more"
                                         : "Give the person a new secret (asked for)");
    change->add_option("name", options.person, "The person's name")->required()->type_name("NAME");
    change->callback([&options, verb] { options.command = std::string("person ") + verb; });
  }
  CLI::App* audit = app.add_subcommand("audit", "The audit trail of the record store");
  audit->require_subcommand(1);
  audit
      ->add_subcommand("verify", "Check every chain: exit 1 naming the first entry that was "
                                 "changed, removed or inserted")
      ->callback([&options] { options.command = "audit verify"; });
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return CliEnding{app.exit(e, out, err) == 0 ? CliStatus::ok : CliStatus::usage, ""};
  }
  if (!options.command.empty()) {
    if (options.records_path.empty()) {
      return usage(options.command + " works on a record store: give --records FILE");
    }
    if (!options.ports.empty() || !options.serve.empty() || options.list || options.info) {
      return usage(options.command + " goes with --records FILE only");
    }
    return std::nullopt;
  }
  if ((options.people_required || options.session_hours != 8 ||
       options.session_idle_minutes != 15) &&
      options.serve.empty()) {
    return usage("--people-required and the session options belong to a station: give --serve");
  }
  if (options.list && !options.ports.empty()) {
    return usage("--list and --port do not go together");
  }
  if (options.list && (!options.image.empty() || !address.empty() || options.info ||
                       !options.release_key.empty())) {
    return usage("--list goes with no image option");
  }
  if (options.json && (options.list || options.info)) {
    return usage("--json is for the events of a run; --list and --info print text only");
  }
  if (options.info && !options.ports.empty()) {
    return usage("--info opens no port: leave out --port");
  }
  if (!address.empty()) {
    if (options.image.empty()) {
      return usage("--address places a raw binary given with --image FILE");
    }
    if (!parse_u32(address, &options.address)) {
      return usage("--address needs a 32-bit address such as 0x4000, not '" + address + "'");
    }
    options.address_given = true;
  }
  if (!options.tags.empty()) {
    if (!options.serve.empty()) {
      return usage(
          "--tag goes with a single run; a station's runs are tagged from its page or API");
    }
    if (options.tags.size() != options.ports.size()) {
      return usage("give one --tag per --port, in the same order");
    }
    for (const std::string& tag : options.tags) {
      if (!unit_tag_is_valid(tag)) {
        return usage("--tag '" + tag + "': a tag is printable ASCII text of 1 to " +
                     std::to_string(UNIT_TAG_MAX) + " characters");
      }
    }
  }
  if (!options.serve.empty() && (options.list || options.info || options.json)) {
    return usage("--serve goes with --port, --image, --release-key, --address, --log, --records, "
                 "--station-name, --token-file, --tls-cert, --tls-key, --line, "
                 "--line-token-file and --line-cafile only");
  }
  if ((!options.tls_cert.empty() || !options.tls_key.empty()) && options.serve.empty()) {
    return usage("--tls-cert and --tls-key serve a station's page: give --serve too");
  }
  if (options.tls_cert.empty() != options.tls_key.empty()) {
    return usage("--tls-cert and --tls-key go together");
  }
  if (!options.line_cafile.empty() && options.line_url.rfind("https://", 0) != 0) {
    return usage("--line-cafile goes with an https:// --line URL");
  }
  if ((options.list || options.info) &&
      (!options.records_path.empty() || !options.station_name.empty())) {
    return usage("--records and --station-name keep runs; --list and --info make none");
  }
  // A line server takes the name as a path segment of its API.
  if (!options.station_name.empty() && (!unit_tag_is_valid(options.station_name) ||
                                        options.station_name.find('/') != std::string::npos)) {
    return usage("--station-name '" + options.station_name +
                 "': a name is printable ASCII text of 1 to " + std::to_string(UNIT_TAG_MAX) +
                 " characters without '/'");
  }
  if ((!options.line_url.empty() || !options.line_token_file.empty()) && options.serve.empty()) {
    return usage("--line and --line-token-file belong to a station: give --serve too");
  }
  if (!options.line_token_file.empty() && options.line_url.empty()) {
    return usage("--line-token-file goes with --line URL");
  }
  if (!options.product.empty() && !firmware_product_is_valid(options.product)) {
    return usage(std::string("--product: ") + FIRMWARE_PRODUCT_RULE);
  }
  if (!options.product.empty() && options.line_url.empty()) {
    return usage("--product follows a line's releases: give --line URL too");
  }
  if (!options.product.empty() && (!options.image.empty() || options.address_given)) {
    return usage("--product flashes the line's release: leave out --image and --address");
  }
  if (options.release_grace_hours != 24 && options.product.empty()) {
    return usage("--release-grace goes with --product");
  }
  if (!options.token_file.empty() && options.serve.empty()) {
    return usage("--token-file guards a station: give --serve too");
  }
  if (!options.list && !options.info && options.ports.empty()) {
    return usage("give the controller's port with --port PORT, or --list\n"
                 "Run with --help for more information.");
  }
  return std::nullopt;
}
