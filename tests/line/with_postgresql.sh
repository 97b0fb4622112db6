#!/bin/sh
# Runs a test under a PostgreSQL cluster of its own (pg_virtualenv, which
# sets PGHOST, PGPORT, PGVERSION and the rest), or without one where
# PostgreSQL is not installed: the test then skips its PostgreSQL cases.
if command -v pg_virtualenv >/dev/null 2>&1; then
  exec pg_virtualenv -t -- "$@"
fi
echo "with_postgresql: no pg_virtualenv (package postgresql): PostgreSQL cases skipped" >&2
exec "$@"
