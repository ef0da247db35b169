#!/bin/sh
# Twin stand-in for the board's Wi-Fi start script: a wlan0 without radio, addressed as if
# the network had given it an address.
echo "wifi.sh${*:+ $*}" >>/run/sim/calls.log
[ -d /sys/class/net/wlan0 ] || twin-guest link-add wlan0 dummy
ifconfig wlan0 198.18.0.7 netmask 255.255.255.0 up
