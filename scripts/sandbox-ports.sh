# shellcheck shell=bash
# Sourced by the sandbox scripts: ports for their servers to listen on.
#
# A listening port must lie outside the kernel's range of ephemeral ports:
# while a server is stopped for a restart, any outgoing connection on the
# machine may be given its port as a local one, and the restart then fails
# with "Address already in use".

# The low and high end of the ephemeral range (Linux's default without /proc).
ephemeral_range() {
  local range=/proc/sys/net/ipv4/ip_local_port_range
  if [[ -r $range ]]; then
    read -r EPHEMERAL_LOW EPHEMERAL_HIGH <"$range"
  else
    EPHEMERAL_LOW=32768 EPHEMERAL_HIGH=60999
  fi
}

# Prints a random port from 10000 up to the ephemeral range, or above it
# when the range starts too low to leave room below.
random_listen_port() {
  local low=10000 high
  ephemeral_range
  high=$EPHEMERAL_LOW
  if ((high - low < 4000)); then
    low=$((EPHEMERAL_HIGH + 1)) high=65536
  fi
  echo $((low + (RANDOM * 32768 + RANDOM) % (high - low)))
}
