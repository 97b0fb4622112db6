// The command line of orvaload-cli.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/runs/cli_ending.h"

struct CliOptions {
  std::vector<std::string> ports; // in the order given; empty with --list and --info
  bool list = false;
  std::string image; // firmware file; empty: the built-in image
  // The Ed25519 public key (PEM) that signs releases: with it, a firmware
  // file is taken only with its signature beside it (FILE.sig).
  std::string release_key;
  bool address_given = false;
  uint32_t address = 0; // where a raw binary goes, with address_given
  bool info = false;    // describe the image instead of sending it
  bool json = false;    // JSON events on standard output instead of texts
  std::string log_path; // record file; empty: none
  // The units' tags, one per port in order; empty: none.
  std::vector<std::string> tags;
  // The station: serve the ports as slots at this address ("[ADDRESS:]PORT")
  // instead of running once; empty: run once.
  std::string serve;
  std::string token_file; // the station's token; empty: none
  // The record store; empty: none for a run, the default file for a station.
  std::string records_path;
  std::string station_name; // empty: this computer's name
  // The line server a station reports to ("http://HOST:PORT"); empty: none.
  std::string line_url;
  std::string line_token_file; // the line's token; empty: none
  std::string line_cafile;     // the CA of an https:// line; empty: the system's
  // With --line: flash only the line's current release of this product.
  std::string product;
  int release_grace_hours = 24; // runs start that long with the line away
  // HTTPS for the station's own page: its certificate and key; empty: HTTP.
  std::string tls_cert;
  std::string tls_key;
  // Changes from the station's page and API need a person signed in.
  bool people_required = false;
  int session_hours = 8;
  int session_idle_minutes = 15;
  // A command on the record store instead of a run: "person add", "person
  // list", "person disable", "person reset", "audit verify"; empty: none.
  std::string command;
  std::string person;      // its NAME
  std::string person_role; // with person add: --role ROLE
};

// Nothing when the command line asks for a command (in `options`); otherwise
// how the program ends at once: ok after --help or --version (printed on
// `out`), usage after a usage error, whose reason is in the ending or, for
// the option parser's own errors, already on `err`.
std::optional<CliEnding> parse_command_line(int argc, const char* const* argv, CliOptions& options,
                                            std::ostream& out, std::ostream& err);
