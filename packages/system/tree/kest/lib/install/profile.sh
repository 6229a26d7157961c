# Sourced by every package script before its own commands.
PATH=/bin:/sbin:/usr/bin:/usr/sbin
export PATH
umask 022
