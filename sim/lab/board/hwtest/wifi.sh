#!/bin/sh
# Wi-Fi start script of the lab board: the client on wlan0, then a DHCP lease. It returns when
# wlan0 is addressed, or has given up.
conf=/etc/wpa_supplicant.conf
pidfile=/var/run/udhcpc.wlan0.pid
printf '%s\n' "wifi.sh" >> /run/sim/calls.log

# What an earlier start left behind: its DHCP client, its Wi-Fi client and its address.
[ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null
rm -f "$pidfile"
old=$(pidof wpa_supplicant) && kill $old
ifconfig wlan0 0.0.0.0 up

wpa_supplicant -B -i wlan0 -c "$conf" || exit 1
udhcpc -i wlan0 -n -t 3 -T 1 -p "$pidfile" >> /run/sim/udhcpc.wlan0.log 2>&1
