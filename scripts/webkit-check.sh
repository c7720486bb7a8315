# Sourced by scripts/test and scripts/run: whether WebKit can start its web processes
# here, asked once before anything that needs them, and the QV_WEBKIT_SANDBOX switch.

# QV_WEBKIT_SANDBOX=off runs WebKit's web processes without their sandbox, for machines
# (plain chroots, unprivileged containers) that lack the namespaces it needs.
qv_apply_sandbox_setting() {
  case "${QV_WEBKIT_SANDBOX:-on}" in
    on) ;;
    off)
      export WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1
      echo "warning: QV_WEBKIT_SANDBOX=off: WebKit's web processes run WITHOUT their sandbox" \
        "(WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1). Use this for tests and development" \
        "only, never to browse." >&2
      ;;
    *) echo "QV_WEBKIT_SANDBOX is 'on' or 'off', not '$QV_WEBKIT_SANDBOX'" >&2; exit 2 ;;
  esac
}

# qv_check_webkit NAME PROBE [WRAPPER...]: runs PROBE (qv-webkit-probe) inside WRAPPER
# (a display and a session bus) and stops NAME at once when WebKit cannot start here.
qv_check_webkit() {
  local name=$1 probe=$2
  shift 2
  local output status=0
  output=$("$@" "$probe" 2>&1) || status=$?
  case $status in
    0) ;;
    3)
      echo "$name: WebKit cannot start a web process on this machine, so nothing that shows" \
        "a page can run. What the probe saw:" >&2
      grep -a "^qv-webkit-probe:" <<<"$output" >&2 || echo "$output" >&2
      echo "$name: run on a machine or a VM, give the container the user and mount" \
        "namespaces WebKit's sandbox needs, or set QV_WEBKIT_SANDBOX=off (tests and" \
        "development only)." >&2
      exit 1
      ;;
    *)
      echo "warning: $name: the WebKit probe did not succeed (status $status); what needs" \
        "WebKit may fail:" >&2
      grep -a "^qv-webkit-probe:" <<<"$output" >&2 || true
      ;;
  esac
}
