#!/bin/sh
# The login of one test machine, sshd's ForceCommand: each sshd of the recipe tests is a
# machine with a home folder of its own (sshd sets HOME to it) and the companion under test
# on its PATH.
cd "$MACHINE_HOME" || exit 255
PATH=$MACHINE_BIN:$PATH exec /bin/sh -c "$SSH_ORIGINAL_COMMAND"
