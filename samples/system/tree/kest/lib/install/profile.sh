# Sourced by every package script.
PATH=/bin:/sbin:/usr/bin:/usr/sbin
export PATH
