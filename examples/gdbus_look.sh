#!/bin/sh
# Looks at Qorvel's automation interfaces with gdbus (Debian's libglib2.0-bin).
# Each gdbus call is a bus connection of its own, and an object lives only as
# long as the connection that created it, so gdbus can create objects and read
# the interfaces; to submit, keep one connection (qorvelctl, or the Python
# example beside this script).
set -e
gdbus call --session --dest Qorvel.AutoEMI --object-path /Qorvel \
  --method Qorvel.ClassFactory.CreateInstance
gdbus introspect --session --dest Qorvel.AutoEMI --object-path /Qorvel --recurse
