#!/usr/bin/env bash
# package_test.sh STEP BUILD_DIR OUT_DIR CPACK DESKTOP
#
# The Debian packages of a build tree, one step per CTest case (DESKTOP is ON when the tree has the
# desktop program, whose package is then checked too):
#   build    CPack makes them into OUT_DIR; their files, modes, conffiles and dependencies (the
#            poller's without any Qt)
#   lint     lintian reports no error
#   install  install, upgrade (the same version again), remove and purge, maintainer scripts and
#            all, in a throw-away root: an overlay of / on a tmpfs, in private mount, network and PID
#            namespaces that end with the test, so the machine's own system is never touched. On
#            the way, systemd-analyze accepts the installed unit and rates its sandbox at 2.0 or
#            less, and the poller is started from the unit's command line, as the unit's user,
#            against approbe-sim.
#   systemd  the poller's package under a real systemd: a Debian 12 root made by debootstrap (kept
#            in /var/cache/approbe-tests or $APPROBE_TEST_CACHE, so that a second run, a fresh
#            clone's included, is quick) booted with systemd-nspawn on a private network; inside, the package is installed, and the service, sandbox and
#            all, polls approbe-sim with its password as an encrypted credential, is reloaded and
#            stopped by systemd.
# Exit 77 (skipped, with one line saying why) where a tool or root is missing.
set -euo pipefail

step=$1 build=$2 out=$3 cpack=$4 desktop=$5
poller_deb=$out/approbe-poller_*.deb
desktop_deb=$out/approbe_*.deb

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
# expect WHAT TEXT PATTERN: TEXT matches the extended regex PATTERN.
expect() { grep -Eq -- "$3" <<<"$2" || fail "$1: expected /$3/ in:"$'\n'"$2"; }
refuse() { ! grep -Eq -- "$3" <<<"$2" || fail "$1: did not expect /$3/ in:"$'\n'"$2"; }
need_debs() { compgen -G "$poller_deb" >/dev/null || skip "no packages in $out (the build step did not make them)"; }

build_step() {
    command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps not installed (Debian package dpkg-dev)"
    rm -rf "$out"
    mkdir -p "$out"
    "$cpack" --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
        fail "cpack: $(cat "$out/cpack.log")"

    local info files
    info=$(dpkg-deb --info $poller_deb)
    expect "approbe-poller's control" "$info" '^ Package: approbe-poller$'
    expect "approbe-poller's dependencies" "$info" '^ Depends: adduser, .*libmicrohttpd12'
    refuse "approbe-poller's dependencies" "$info" '[Qq]t'
    expect "approbe-poller's conffiles" "$(dpkg-deb --ctrl-tarfile $poller_deb | tar -xO ./conffiles)" \
        '^/etc/approbe/poller.ini$'
    files=$(dpkg-deb --contents $poller_deb)
    expect "approbe-poller's files" "$files" '^-rw------- root/root .* \./etc/approbe/poller\.ini$'
    for f in usr/bin/approbe-poller lib/systemd/system/approbe-poller.service etc/default/approbe-poller \
        usr/share/approbe-poller/approbe-alerts.yml usr/share/approbe-poller/approbe-dashboard.json \
        usr/share/man/man1/approbe-poller.1.gz usr/share/doc/approbe-poller/copyright; do
        expect "approbe-poller's files" "$files" " \./$f\$"
    done
    expect "the unit's command line" "$(dpkg-deb --fsys-tarfile $poller_deb | tar -xO ./lib/systemd/system/approbe-poller.service)" \
        '^ExecStart=/usr/bin/approbe-poller --config /etc/approbe/poller.ini \$ARGS$'

    if [ "$desktop" = ON ]; then
        info=$(dpkg-deb --info $desktop_deb)
        expect "approbe's control" "$info" '^ Package: approbe$'
        expect "approbe's dependencies" "$info" '^ Depends: .*libqt6widgets6'
        expect "approbe's dependencies" "$info" '^ Depends: .*libsecret-1-0' # loaded by QtKeychain at run time
        files=$(dpkg-deb --contents $desktop_deb)
        for f in usr/bin/approbe usr/share/applications/approbe.desktop usr/share/icons/hicolor/48x48/apps/approbe.png \
            usr/share/icons/hicolor/scalable/apps/approbe.svg usr/share/doc/approbe/copyright \
            usr/lib/approbe/libapprobe-audio.so usr/lib/approbe/libapprobe-ssh.so; do
            expect "approbe's files" "$files" " \./$f\$"
        done
        refuse "approbe's files" "$files" 'approbe-poller'
    fi
    ls "$out"/*.deb
}

lint_step() {
    need_debs
    command -v lintian >/dev/null || skip "lintian not installed (Debian package lintian)"
    local deb report
    for deb in "$out"/*.deb; do
        # Root is warned against; the packages are only read.
        report=$(lintian --fail-on error --display-info "$deb" 2>&1) ||
            fail "lintian reports errors in ${deb##*/}:"$'\n'"$report"
        grep -v '^running with root privileges' <<<"$report" || true
        echo "lintian: no error in ${deb##*/}"
    done
}

install_step() {
    need_debs
    [ "$(id -u)" -eq 0 ] || skip "a throw-away root needs root (private namespaces, an overlay of /)"
    command -v unshare >/dev/null || skip "unshare not installed (Debian package util-linux)"
    unshare --mount --net --pid --fork --propagation private "$0" inside "$build" "$out" "$cpack" "$desktop"
}

# Inside the namespaces: / seen through an overlay whose writes go to a tmpfs.
inside() {
    ip link set lo up
    local work
    work=$(mktemp -d)
    mount -t tmpfs approbe-package "$work"
    mkdir "$work/upper" "$work/overlay" "$work/root"
    mount -t overlay approbe-root -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay" "$work/root" ||
        skip "this kernel cannot overlay / (overlayfs)"
    local root=$work/root
    mount -t proc proc "$root/proc"
    mount --bind /dev "$root/dev"
    # No systemd runs in this root: the maintainer scripts enable the unit but start nothing.
    mount -t tmpfs run "$root/run"
    mount -t tmpfs tmp "$root/tmp"
    cp "$out"/*.deb "$root/tmp/"
    local poller_pkg desktop_pkg
    poller_pkg=/tmp/$(basename $poller_deb)
    desktop_pkg=/tmp/$(basename $desktop_deb)
    # The manual pages' index is not what is tested, and is slow to rebuild.
    rm -f "$root/var/lib/man-db/auto-update"
    in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
    status() { in_root dpkg-query -W -f='${Status}' "$1" 2>/dev/null || echo "not known"; }
    # The machine's own packages of these names, if any, are not this root's business.
    in_root dpkg --purge approbe-poller approbe >/dev/null 2>&1 || true

    echo "== install"
    in_root dpkg --install "$poller_pkg" >"$work/dpkg.log" 2>&1 || fail "dpkg --install: $(cat "$work/dpkg.log")"
    [ "$(status approbe-poller)" = "install ok installed" ] || fail "approbe-poller is $(status approbe-poller)"
    local user
    user=$(in_root getent passwd approbe) || fail "postinst made no user approbe"
    expect "the approbe user" "$user" '^approbe:x:[0-9]+:[0-9]+:[^:]*:/var/lib/approbe-poller:/usr/sbin/nologin$'
    expect "the config's owner and mode" "$(in_root stat -c '%U:%G %a' /etc/approbe/poller.ini)" '^approbe:approbe 600$'
    [ -L "$root/etc/systemd/system/multi-user.target.wants/approbe-poller.service" ] || fail "the unit was not enabled"
    if command -v systemd-analyze >/dev/null; then
        in_root systemd-analyze verify /lib/systemd/system/approbe-poller.service >"$work/verify.log" 2>&1 ||
            fail "systemd-analyze verify: $(cat "$work/verify.log")"
        echo "systemd-analyze verify accepts the unit"
        # The sandbox: an exposure of 2.0 at most (the unit rates about 1.1; without one it was 7.4).
        in_root systemd-analyze security --offline=true --threshold=20 /lib/systemd/system/approbe-poller.service \
            >"$work/security.log" 2>&1 || fail "systemd-analyze security rates the unit above 2.0: $(cat "$work/security.log")"
        echo "systemd-analyze security: $(grep -o 'Overall exposure level.*' "$work/security.log")"
    else
        echo "systemd-analyze not installed (Debian package systemd): the unit was not verified"
    fi

    echo "== the installed poller, started as its unit says, against approbe-sim"
    "$build/bin/approbe-sim" --bind 127.0.0.1 --port 0 >"$work/sim.log" 2>&1 &
    local sim=$! sim_port
    sim_port=$(await_port "$work/sim.log" 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p') ||
        fail "approbe-sim did not start: $(cat "$work/sim.log")"
    # As an operator would: an access point in the config, an option in the unit's ARGS.
    printf '\n[sim]\nHost = 127.0.0.1\nPort = %s\nUser = admin\nPass = admin\n' "$sim_port" >>"$root/etc/approbe/poller.ini"
    sed -i 's/^ARGS=.*/ARGS="--listen 127.0.0.1:0"/' "$root/etc/default/approbe-poller"
    in_root approbe-poller --config /etc/approbe/poller.ini --check >"$work/check.log" 2>&1 ||
        fail "--check: $(cat "$work/check.log")"
    local unit=$root/lib/systemd/system/approbe-poller.service command unit_user env_file uid gid
    command=$(sed -n 's/^ExecStart=//p' "$unit")
    unit_user=$(sed -n 's/^User=//p' "$unit")
    env_file=$(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$unit")
    uid=$(in_root id -u "$unit_user")
    gid=$(in_root id -g "$unit_user")
    chroot --userspec="$uid:$gid" --groups="$gid" "$root" env -i PATH=/usr/bin:/bin HOME=/var/lib/approbe-poller \
        /bin/sh -c "set -a; . $env_file; exec $command" >"$work/poller.log" 2>&1 &
    local poller=$! metrics_port
    metrics_port=$(await_port "$work/poller.log" 's|.*serving http://127\.0\.0\.1:\([0-9]*\)/metrics.*|\1|p') ||
        fail "the poller did not start: $(cat "$work/poller.log")"
    await_metric "$metrics_port" '^approbe_up\{ap="sim"\} 1$' ||
        fail "/metrics of the installed poller has no approbe_up{ap=\"sim\"} 1: $(scrape "$metrics_port")"
    expect "/metrics of the installed poller" "$(scrape "$metrics_port")" '^approbe_poller_build_info\{version="[0-9.]+"\} 1$'
    kill -TERM "$poller"
    wait "$poller" || fail "the poller did not end well on SIGTERM: $(cat "$work/poller.log")"
    kill "$sim"
    echo "it served the simulator's readings as user $unit_user"

    echo "== upgrade (the same version again)"
    in_root dpkg --install "$poller_pkg" >"$work/dpkg.log" 2>&1 || fail "dpkg --install again: $(cat "$work/dpkg.log")"
    [ "$(status approbe-poller)" = "install ok installed" ] || fail "approbe-poller is $(status approbe-poller)"
    [ "$(in_root getent passwd approbe)" = "$user" ] || fail "the approbe user changed"
    expect "the edited config" "$(cat "$root/etc/approbe/poller.ini")" '^\[sim\]$'
    expect "the edited unit options" "$(cat "$root/etc/default/approbe-poller")" '^ARGS="--listen 127.0.0.1:0"$'
    expect "the config's owner and mode" "$(in_root stat -c '%U:%G %a' /etc/approbe/poller.ini)" '^approbe:approbe 600$'

    if [ "$desktop" = ON ]; then
        echo "== the desktop program's package"
        in_root dpkg --install "$desktop_pkg" >"$work/dpkg.log" 2>&1 || fail "dpkg --install approbe: $(cat "$work/dpkg.log")"
        [ "$(status approbe)" = "install ok installed" ] || fail "approbe is $(status approbe)"
        [ -x "$root/usr/bin/approbe" ] || fail "no /usr/bin/approbe"
        in_root dpkg --purge approbe >"$work/dpkg.log" 2>&1 || fail "dpkg --purge approbe: $(cat "$work/dpkg.log")"
        [ ! -e "$root/usr/bin/approbe" ] && [ ! -e "$root/usr/share/applications/approbe.desktop" ] ||
            fail "approbe's files stayed after its purge"
    fi

    echo "== remove, then purge"
    in_root dpkg --remove approbe-poller >"$work/dpkg.log" 2>&1 || fail "dpkg --remove: $(cat "$work/dpkg.log")"
    [ "$(status approbe-poller)" = "deinstall ok config-files" ] || fail "approbe-poller is $(status approbe-poller)"
    [ ! -e "$root/usr/bin/approbe-poller" ] || fail "the program stayed after its removal"
    [ -e "$root/etc/approbe/poller.ini" ] || fail "the config went with the removal"
    in_root dpkg --purge approbe-poller >"$work/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$work/dpkg.log")"
    [ "$(status approbe-poller)" != "deinstall ok config-files" ] || fail "approbe-poller is $(status approbe-poller)"
    [ ! -e "$root/etc/approbe" ] && [ ! -e "$root/etc/default/approbe-poller" ] || fail "the config stayed after the purge"
    [ -z "$(in_root dpkg-statoverride --list /etc/approbe/poller.ini)" ] || fail "the statoverride stayed"
    [ ! -e "$root/etc/systemd/system/multi-user.target.wants/approbe-poller.service" ] || fail "the unit stayed enabled"
    echo "installed, upgraded, removed and purged"
}

# The root the container boots: the Debian 12 base, systemd and the poller's dependencies. Its
# folder is named after what it holds, so a changed dependency makes a new one.
container_root() {
    local include
    include=$(dpkg-deb -f $poller_deb Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | grep -v '^$' |
        sort -u | paste -sd, -)
    include="systemd,systemd-sysv,dbus,$include"
    # Kept outside the build tree, so that a fresh clone on the same machine (CI's) finds it.
    local cache=${APPROBE_TEST_CACHE:-/var/cache/approbe-tests}/nspawn-root
    local root=$cache/$(sha1sum <<<"$include" | cut -c1-12)
    if [ ! -x "$root/lib/systemd/systemd" ]; then
        rm -rf "$root.tmp"
        mkdir -p "$cache"
        debootstrap --variant=minbase --include="$include" bookworm "$root.tmp" http://deb.debian.org/debian \
            >"$cache/debootstrap.log" 2>&1 ||
            { rm -rf "$root.tmp"; skip "debootstrap could not make a Debian 12 root (no mirror?): $(tail -1 "$cache/debootstrap.log")"; }
        mv "$root.tmp" "$root"
    fi
    echo "$root"
}

systemd_step() {
    need_debs
    [ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
    command -v debootstrap >/dev/null || skip "debootstrap not installed (Debian package debootstrap)"
    command -v systemd-nspawn >/dev/null || skip "systemd-nspawn not installed (Debian package systemd-container)"
    local root shared
    root=$(container_root) || exit $?
    shared=$(mktemp -d)
    trap "rm -rf '$shared'" EXIT
    cp $poller_deb "$build/bin/approbe-sim" "$0" "$shared/"
    # A one-shot unit that runs the checks once the container has booted, then powers it off.
    cat >"$shared/approbe-check.service" <<UNIT
[Unit]
Description=approbe-poller's package under systemd
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/bin/bash /shared/$(basename "$0") container - - - -
StandardOutput=file:/shared/check.log
StandardError=inherit
ExecStopPost=/bin/systemctl --no-block poweroff
UNIT
    # The writes go to a tmpfs over the root, which stays as debootstrap made it. Without
    # --keep-unit nspawn asks the host's systemd for a scope, and the host may run none.
    timeout 180 systemd-nspawn --quiet --register=no --keep-unit --boot --volatile=overlay --private-network \
        --directory="$root" --bind="$shared:/shared" \
        --bind-ro="$shared/approbe-check.service:/etc/systemd/system/approbe-check.service" \
        -- systemd.wants=approbe-check.service >"$shared/console.log" 2>&1 || {
        local status=$?
        # A machine that cannot start a container at all (no namespaces or cgroups for it, as
        # inside some CI containers) never reaches the check.
        [ $status -eq 124 ] || [ -e "$shared/check.log" ] ||
            skip "systemd-nspawn cannot boot a container here: $(grep -v '^$' "$shared/console.log" | tail -1)"
        fail "the container did not power off after its check: $(cat "$shared/console.log" "$shared/check.log" 2>/dev/null)"
    }
    cat "$shared/check.log" 2>/dev/null
    [ "$(cat "$shared/result" 2>/dev/null)" = passed ] || fail "inside the container (above)"
}

# Inside the booted container, as its systemd's one-shot unit.
container() {
    local log=/shared/check.log
    echo failed >/shared/result
    echo "== install"
    dpkg --install /shared/approbe-poller_*.deb >/tmp/dpkg.log 2>&1 || fail "dpkg --install: $(cat /tmp/dpkg.log)"
    await_serving >/dev/null || fail "the package did not start the service: $(journal)"

    echo "== the service polls approbe-sim with its password as a credential"
    /shared/approbe-sim --bind 127.0.0.1 --port 0 >/tmp/sim.log 2>&1 &
    local sim_port
    sim_port=$(await_port /tmp/sim.log 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p') ||
        fail "approbe-sim did not start: $(cat /tmp/sim.log)"
    printf '\n[sim]\nHost = 127.0.0.1\nPort = %s\nUser = admin\nPassCredential = sim\n' "$sim_port" >>/etc/approbe/poller.ini
    sed -i 's/^ARGS=.*/ARGS="--listen 127.0.0.1:0"/' /etc/default/approbe-poller
    mkdir -p /etc/systemd/system/approbe-poller.service.d
    if printf admin | systemd-creds encrypt --name=sim - /etc/approbe/sim.cred 2>/tmp/creds.log; then
        echo "encrypted with systemd-creds"
        printf '[Service]\nLoadCredentialEncrypted=sim:/etc/approbe/sim.cred\n' >/etc/systemd/system/approbe-poller.service.d/sim.conf
    else
        echo "systemd-creds cannot encrypt here ($(tail -1 /tmp/creds.log)): a plain credential"
        (umask 077 && printf admin >/etc/approbe/sim.pass)
        printf '[Service]\nLoadCredential=sim:/etc/approbe/sim.pass\n' >/etc/systemd/system/approbe-poller.service.d/sim.conf
    fi
    systemctl daemon-reload
    systemctl restart approbe-poller || fail "systemctl restart: $(journal)"
    local metrics_port
    metrics_port=$(await_serving) || fail "the service did not start again: $(journal)"
    await_metric "$metrics_port" '^approbe_up\{ap="sim"\} 1$' || fail "no reading from the simulator: $(journal)"
    echo "approbe_up{ap=\"sim\"} 1"

    echo "== systemctl reload re-reads the config"
    local pid
    pid=$(systemctl show -p MainPID --value approbe-poller)
    printf '\n[sim2]\nHost = 127.0.0.1\nPort = %s\nUser = admin\nPassCredential = sim\n' "$sim_port" >>/etc/approbe/poller.ini
    systemctl reload approbe-poller || fail "systemctl reload: $(journal)"
    await_metric "$metrics_port" '^approbe_up\{ap="sim2"\} 1$' || fail "the reload did not add sim2: $(journal)"
    [ "$(systemctl show -p MainPID --value approbe-poller)" = "$pid" ] || fail "the reload restarted the poller"
    echo "approbe_up{ap=\"sim2\"} 1, the same process"

    echo "== systemctl stop"
    systemctl stop approbe-poller
    expect "the service's end" "$(systemctl show -p Result -p ExecMainStatus approbe-poller)" '^Result=success$'
    expect "the service's end" "$(systemctl show -p Result -p ExecMainStatus approbe-poller)" '^ExecMainStatus=0$'
    expect "the poller's log" "$(journal)" 'every session ended; exiting'
    refuse "the poller's log" "$(journal)" 'SIGSYS|Operation not permitted|Permission denied'
    echo "stopped cleanly; the sandboxed service met no refusal"
    echo passed >/shared/result
}

# The log of the service's current run.
journal() { journalctl --no-pager -o cat _SYSTEMD_INVOCATION_ID="$(systemctl show -p InvocationID --value approbe-poller)"; }

# await_serving: waits up to 10 s for the service's current run to serve /metrics, and prints its port.
await_serving() {
    local port
    for _ in $(seq 100); do
        port=$(journal | sed -n 's|.*serving http://127\.0\.0\.1:\([0-9]*\)/metrics.*|\1|p')
        [ -n "$port" ] && echo "$port" && return 0
        sleep 0.1
    done
    return 1
}

# await_metric PORT PATTERN: waits up to 10 s for a scrape of PORT to hold a line matching PATTERN.
await_metric() {
    for _ in $(seq 100); do
        grep -Eq -- "$2" <<<"$(scrape "$1")" && return 0
        sleep 0.1
    done
    return 1
}

# await_port LOG SCRIPT: waits up to 5 s for LOG, written by a program just started, to hold the
# port that the sed SCRIPT prints, and prints it.
await_port() {
    local port
    for _ in $(seq 100); do
        port=$(sed -n "$2" "$1" 2>/dev/null || true)
        [ -n "$port" ] && echo "$port" && return 0
        sleep 0.05
    done
    return 1
}

# GET /metrics over bash's own TCP: the body.
scrape() {
    local reply
    exec 3<>"/dev/tcp/127.0.0.1/$1" || return 0
    printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3
    reply=$(cat <&3 | tr -d '\r')
    exec 3<&-
    printf '%s\n' "${reply#*$'\n\n'}"
}

case $step in
build) build_step ;;
lint) lint_step ;;
install) install_step ;;
inside) inside ;;
systemd) systemd_step ;;
container) container ;;
*) echo "usage: package_test.sh build|lint|install|systemd BUILD_DIR OUT_DIR CPACK DESKTOP" >&2; exit 2 ;;
esac
