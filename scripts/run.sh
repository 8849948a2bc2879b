#!/usr/bin/env bash
# Installs what is needed, builds, starts a local FTP server with an empty web space,
# prepares a demo site whose Config.txt points at it, and opens the window there.
# Without a display the window runs under a virtual display: it connects, uploads the
# demo site through its own handlers, and saves a screenshot.
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
app_dir="$top/$BUILD_DIR/src/app"

demo=${DEMO_DIR:-$top/demo-run}
# Optional folder for the window's three looks, taken relative to where run.sh was called.
shots=""
if [ -n "${SCREENSHOTS_DIR:-}" ]; then
    shots=$(cd "$caller" && realpath -m "$SCREENSHOTS_DIR")
    mkdir -p "$shots"
fi
rm -rf "$demo"
mkdir -p "$demo/webspace" "$demo/site"
user=webuser
password=s3cret

# With DEMO_TLS=1 the server speaks FTP over TLS with a self-signed certificate made here,
# and the window is set to require TLS: it asks whether to trust the certificate, then
# shows the lock.
tls_args=()
if [ "${DEMO_TLS:-0}" = 1 ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
        -subj "/O=KestrelFTP demo/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
        -keyout "$demo/server-key.pem" -out "$demo/server-cert.pem" 2>/dev/null
    tls_args=(--tls-cert "$demo/server-cert.pem" --tls-key "$demo/server-key.pem" --tls-required)
fi

# The server: pyftpdlib on 127.0.0.1, on a port the system chooses.
/usr/bin/python3 tests/support/ftpd.py --root "$demo/webspace" --user "$user" \
    --password "$password" --port 0 --print-port --log-file "$demo/ftpd.log" \
    "${tls_args[@]}" >"$demo/ftpd.port" &
server=$!
trap 'kill $server 2>/dev/null || true; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    grep -q PORT "$demo/ftpd.port" 2>/dev/null && break
    sleep 0.1
done
port=$(awk '/PORT/ {print $2}' "$demo/ftpd.port")
echo "FTP server for the demo: 127.0.0.1 port $port, user $user, password $password"

/usr/bin/python3 scripts/make_demo_site.py "$demo/site" 127.0.0.1 "$port" "$user" "$password"
if [ "${DEMO_TLS:-0}" = 1 ]; then
    printf '[Connection]\nEncryption=required\n' >"$demo/site/KestrelFTP.ini"
    chmod 600 "$demo/site/KestrelFTP.ini"
fi
cd "$demo/site"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    echo "Opening the window in $demo/site: click Connect, select files, click Upload File;"
    echo "or publish the whole site, folders included: Publish Site... (Ctrl+Shift+P)."
    "$app_dir/kestrelftp"
else
    echo "No display: running the window under Xvfb and uploading the demo site."
    xvfb-run -a -s "-screen 0 1024x768x24" "$app_dir/kestrel_demo" "$demo/screenshot.png" \
        ${shots:+"$shots"}
    echo
    # The main job in one step: the whole site, its images/ folder included, published
    # from the command line with the same settings (new and changed files only).
    echo "Publishing the whole demo site: kestrelftp publish --passive . /"
    publish_args=(--passive)
    if [ "${DEMO_TLS:-0}" = 1 ]; then
        fingerprint=$(openssl x509 -in "$demo/server-cert.pem" -noout -fingerprint -sha256 |
            cut -d= -f2)
        publish_args+=(--tls --trust-fingerprint "$fingerprint")
    fi
    "$app_dir/kestrelftp" publish "${publish_args[@]}" . /
    echo
    echo "What the server received ($demo/webspace):"
    (cd "$demo/webspace" && find . -type f -printf '  %p  %s bytes\n' | sort)
    echo "Screenshot of the window: $demo/screenshot.png"
fi
