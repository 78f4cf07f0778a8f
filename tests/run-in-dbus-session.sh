#!/bin/sh
# Runs a test program on a private session bus that ends with it.
exec dbus-run-session -- "$@"
