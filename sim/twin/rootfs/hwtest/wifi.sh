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

log=/var/log/messages
seen=$(wc -l <"$log")
wpa_supplicant -B -s -D nl80211 -i wlan0 -c "$conf" || exit 1
# Associated, and the key handshake done (a wrong passphrase never gets that far: the client
# says so, and gives up on the network for a while).
n=0
until iw dev wlan0 station dump | grep -q "authorized:.*yes"; do
    n=$((n + 1))
    if [ $n -gt 30 ] || tail -n +$((seen + 1)) "$log" | grep -q "WRONG_KEY"; then
        echo "wifi.sh: no network" >&2
        exit 1
    fi
    sleep 0.5
done
# The first discover goes out before the access point forwards anything, and a key handshake
# may be done again just after the first: retry each second.
udhcpc -i wlan0 -n -T 1 -t 10 -p "$pidfile"
