#!/bin/sh
# The board's Wi-Fi start script: the Wi-Fi client on wlan0 with /etc/wpa_supplicant.conf, then
# a DHCP lease. It returns when wlan0 is addressed, or has given up.
conf=/etc/wpa_supplicant.conf
pidfile=/var/run/udhcpc.wlan0.pid
echo "wifi.sh${*:+ $*}" >>/run/sim/calls.log

# What an earlier start left behind: its DHCP client, its Wi-Fi client and its address.
[ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null
rm -f "$pidfile"
if old=$(pidof wpa_supplicant); then
    kill $old
    n=0
    while pidof wpa_supplicant >/dev/null && [ $n -lt 50 ]; do
        sleep 0.1
        n=$((n + 1))
    done
fi
ifconfig wlan0 0.0.0.0 up

# Its control socket named here: the agent's file may hold network blocks only.
ctrl=/var/run/wpa_supplicant
wpa_supplicant -B -s -D nl80211 -i wlan0 -c "$conf" -C "$ctrl" || exit 1
# The client's own outcome: associated with the key handshake done, on any of the blocks, or
# every block tried and put aside (a wrong passphrase disables its block for a while, and the
# client goes on to the next one of the same network).
state() { wpa_cli -p "$ctrl" -i wlan0 "$@" 2>/dev/null; }
uptime_s() { cut -d. -f1 /proc/uptime; }
# Leaves the lease its time within the agent's 60 s for this script.
give_up=$(($(uptime_s) + 40))
until state status | grep -qx "wpa_state=COMPLETED"; do
    blocks=$(state list_networks | tail -n +2)
    if [ "$(uptime_s)" -ge $give_up ] || ! echo "$blocks" | grep -qv "DISABLED\]"; then
        echo "wifi.sh: no network" >&2
        exit 1
    fi
    sleep 0.5
done
# The first discover goes out before the access point forwards anything, and a key handshake
# may be done again just after the first: retry each second.
udhcpc -i wlan0 -n -T 1 -t 10 -p "$pidfile"
