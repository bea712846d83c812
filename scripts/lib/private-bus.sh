# Sourced by the demo, tests and benchmarks that start a private dbus-daemon
# in place of the system bus.
#
#   private_bus_config SOCKET ROOT >FILE
#
# A bus listening on SOCKET that starts services from ROOT's activation
# folder and applies ROOT's policy files, as the system bus would with the
# files registration installed there. The default policy lets everything
# through, so that only FyBootp's own policy decides.
private_bus_config() {
  cat <<EOF
<busconfig>
  <type>session</type>
  <listen>unix:path=$1</listen>
  <servicedir>$2/usr/share/dbus-1/system-services</servicedir>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
    <allow send_type="method_return" send_requested_reply="true"/>
    <allow send_type="error" send_requested_reply="true"/>
  </policy>
  <includedir>$2/usr/share/dbus-1/system.d</includedir>
</busconfig>
EOF
}
