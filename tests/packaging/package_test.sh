#!/usr/bin/env bash
# Builds the package under umask 077 into a temporary directory, checks that its directories are
# 0755 and that it holds the programs, the unit, the manual pages, the collectors' element files
# and the copyright file; then, as root in a mount namespace of its own, runs the maintainer
# scripts: install enables the unit without a running systemd, remove and reinstall keep it
# enabled, purge deletes what the agent created and leaves other modules' files.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(umask 077 && cd "$build" && cpack -G DEB -B "$work" --config CPackConfig.cmake >"$work/cpack.log") ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/orv-agent_*.deb)
dpkg-deb -c "$deb" >"$work/contents"
bad_dirs=$(awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" {print $1, $6}' "$work/contents")
[[ -z "$bad_dirs" ]] || fail "directories not 0755: $bad_dirs"
for path in usr/sbin/oborvagent usr/bin/orv-collect usr/bin/orv-vpnstate usr/bin/orv-context \
            usr/bin/orv-flowgen lib/systemd/system/oborvagent.service \
            usr/share/doc/orv-agent/copyright usr/share/doc/orv-agent/examples/ORV_ServiceProfile.xml \
            usr/share/orv-agent/ipfix/orv-elements.xml usr/share/man/man8/oborvagent.8.gz \
            usr/share/man/man1/orv-collect.1.gz usr/share/man/man1/orv-vpnstate.1.gz \
            usr/share/man/man1/orv-context.1.gz usr/share/man/man1/orv-flowgen.1.gz; do
  grep -q " \./$path\$" "$work/contents" || fail "package lacks /$path"
done
for tool in $(awk '$6 ~ /^\.\/usr\/bin\// {sub(".*/", "", $6); print $6}' "$work/contents"); do
  grep -q " \./usr/share/man/man1/$tool.1.gz\$" "$work/contents" || fail "no manual page for $tool"
done

if [[ $(id -u) -ne 0 ]] || ! unshare -m true 2>/dev/null; then
  echo "maintainer scripts not run: needs root and mount namespaces"
  exit 77
fi
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
unshare -m bash -euo pipefail -s "$work" <<'INNER'
work=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
for dir in /etc/systemd/system /var/lib /run; do mount -t tmpfs none "$dir"; done
dpkg-deb -x "$(ls "$work"/orv-agent_*.deb)" "$work/root"
cp "$work/root/lib/systemd/system/oborvagent.service" /etc/systemd/system/
export DPKG_MAINTSCRIPT_PACKAGE=orv-agent  # as dpkg sets it; deb-systemd-helper insists
wants=/etc/systemd/system/multi-user.target.wants/oborvagent.service
"$work/control/postinst" configure
[[ -L $wants ]] || fail "postinst did not enable the unit"
"$work/control/prerm" remove
"$work/control/postrm" remove
"$work/control/postinst" configure
[[ -L $wants ]] || fail "the unit is not enabled after remove and reinstall"
suite="/var/lib/Varno/Varno Ombrix Suite"
mkdir -p "$suite/ORV" "$suite/Tellwick/moduledata" "$suite/Other" /var/lib/Varno/DataProtection /var/lib/Varno/tmp
touch "$suite/ORV/ORV.db" "$suite/Tellwick/moduledata/ORVPhoneHome.tlw" "$suite/Other/keep" \
      /var/lib/Varno/DataProtection/0.key /var/lib/Varno/tmp/oborvagent_1.0_x.mdmp
"$work/control/prerm" remove
"$work/control/postrm" remove
"$work/control/postrm" purge
[[ ! -e "$suite/ORV" && ! -e "$suite/Tellwick" && ! -e /var/lib/Varno/DataProtection ]] ||
  fail "purge left the agent's data"
[[ ! -e /var/lib/Varno/tmp && -e "$suite/Other/keep" ]] || fail "purge removed too much or too little"
[[ ! -L $wants ]] || fail "purge left the unit enabled"
INNER
echo "package checked: $(basename "$deb")"
