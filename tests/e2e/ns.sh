# The namespace helpers live in common.sh now (make_ns_pair, in_cli); this
# file stays for scripts that still source it, such as bench/idle_daemon.sh.
