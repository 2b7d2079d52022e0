#!/bin/sh
# Runs Debian 12's vicc (package vsmartcard-vpicc, vicc 0.8) with what its
# packaging leaves out: its Python modules lie in a folder that Python does
# not search (/usr/lib/python3/site-packages/virtualsmartcard), and it
# imports PyCrypto as Crypto, which Debian ships only as PyCryptodome's
# Cryptodome (package python3-pycryptodome).  Arguments go to vicc, e.g.
#
#   scripts/vicc.sh --hostname 127.0.0.1 --port 35963
exec /usr/bin/python3 -c '
import runpy, sys
import Cryptodome
sys.modules["Crypto"] = Cryptodome
sys.path.insert(0, "/usr/lib/python3/site-packages/virtualsmartcard")
sys.argv[0] = "/usr/bin/vicc"
runpy.run_path("/usr/bin/vicc", run_name="__main__")
' "$@"
