#!/bin/sh
# Runs a test with files its own alone: a server refuses a token file that
# others may read.
umask 077
exec "$@"
