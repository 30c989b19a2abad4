"""The Debian package as an operator meets it: what it holds, lintian, the
tree `make install` lays out, its units' verification and exposure, the
key file it writes, the programs run as the units say, and a purge. The
package is installed on this host (a throwaway root, such as CI's)."""

import os
import re
import stat

import pytest

from harness import package
from harness.command import run
from harness.guides import documented_blocks

pytestmark = pytest.mark.package

KEY_FILE = "/etc/default/gmi-server"
EXAMPLES = "/usr/share/doc/gmi-server/examples"
# The files the package must hold, and nothing else: no test, double, fuzz
# or benchmark binary. By folder; examples/ and man/ name subfolders too.
PACKAGE_FILES = sorted(f"./{folder}/{name}" for folder, names in {
    "lib/systemd/system": "gmi-authz@.service gmi-server@.service",
    "usr/bin": "gmi-token",
    "usr/lib/gmi-server": "gmi-server-quit libAuthSrv.so",
    "usr/sbin": "gmi-authz gmi-fleet gmi-server",
    "usr/share/doc/gmi-server": "README.authsrv.md.gz README.md.gz changelog.gz copyright",
    "usr/share/doc/gmi-server/examples": "caddy/gmi-authz.caddy fail2ban/filter.d/gmi-front.conf "
    "fail2ban/jail.d/gmi-front.conf haproxy/gmi-instance-address.lua haproxy/gmi-instances.cfg "
    "haproxy/gmi-server.cfg nginx/gmi-authz-protect.conf nginx/gmi-authz.conf "
    "prometheus/gmi-alerts.yml",
    "usr/share/gmi-server/gmi_fleet": "__init__.py cert.py cli.py closing.py errors.py hosts.py "
    "instances.py lists.py restart.py runtime_api.py steps.py targets.py",
    "usr/share/man": "man1/gmi-token.1.gz man8/gmi-authz.8.gz man8/gmi-fleet.8.gz man8/gmi-server.8.gz",
}.items() for name in names.split())
# Only the package has these; make install lays out the rest, uncompressed.
PACKAGE_ONLY = re.compile(r"^lib/systemd/|/changelog$|/copyright$")


def contents(deb):
    """(mode and owner, path) of every file, directories left out."""
    listing = run("dpkg-deb", "-c", deb).splitlines()
    return {fields[5]: f"{fields[0]} {fields[1]}"
            for fields in map(str.split, listing) if not fields[0].startswith("d")}


def test_the_package_holds_its_files_and_nothing_else(deb):
    files = contents(deb)
    assert sorted(files) == PACKAGE_FILES
    assert files["./usr/lib/gmi-server/libAuthSrv.so"] == "-rw-r--r-- root/root"


def test_lintian_finds_no_error_or_warning(deb):
    run("lintian", "--fail-on", "error,warning", "--display-info", deb, timeout=600)


def test_make_install_lays_out_the_packages_programs_pages_and_documents(project, tmp_path):
    run("make", "--no-print-directory", "install", f"DESTDIR={tmp_path}", "PREFIX=/usr",
        cwd=project, timeout=1200)
    laid_out = sorted(os.path.relpath(os.path.join(folder, name), tmp_path)
                      for folder, _, names in os.walk(tmp_path) for name in names)
    uncompressed = (re.sub(r"\.gz$", "", path[2:]) for path in PACKAGE_FILES)
    expected = sorted(path for path in uncompressed if not PACKAGE_ONLY.search(path))
    assert laid_out == expected


def test_units_verify_with_exposure_within_1_5(host_package):
    for unit in (package.SERVER_UNIT, package.AUTHZ_UNIT):
        path = f"{package.UNITS}/{unit}"
        run("systemd-analyze", "verify", path)
        report = run("systemd-analyze", "security", "--offline=true", path, check=False)
        score = re.search(r"Overall exposure level for .*: ([0-9.]+) ", report)
        assert score and float(score.group(1)) <= 1.5, f"{unit}: {report[-300:]}"


def test_install_writes_a_private_random_key_that_a_reinstall_keeps(deb, host_package):
    state = os.stat(KEY_FILE)
    assert (stat.S_IMODE(state.st_mode), state.st_uid) == (0o600, 0)
    with open(KEY_FILE) as text:
        key = text.read()
    assert re.search(r"^AUTHSRV_KEYS=1:[0-9a-f]{64}$", key, re.M)
    package.install(deb)
    with open(KEY_FILE) as text:
        assert text.read() == key


def test_haproxy_accepts_the_installed_front(host_package, certificates):
    run("haproxy", "-c", "-q", "-f", f"{EXAMPLES}/haproxy/gmi-server.cfg",
        "-f", f"{EXAMPLES}/haproxy/gmi-instances.cfg",
        env={"PATH": os.environ["PATH"], "FRONT_CERT": f"{certificates}/server.pem",
             "FRONT_ADMIN_CA": f"{certificates}/ca.pem", "FRONT_ADMIN_SOCKET": "/tmp/gmi-check.sock",
             "FRONT_LUA": f"{EXAMPLES}/haproxy/gmi-instance-address.lua"})


def test_nginx_and_caddy_load_the_guides_sites_with_the_installed_snippets(host_package, project, tmp_path):
    """The reverse-proxy section's install commands and sites as written,
    only /etc/nginx/snippets/ and /etc/caddy/ moved to tmp_path."""
    nginx_install, nginx_site, caddy_install, caddy_site = [
        block.replace("sudo ", "").replace("/etc/nginx/snippets/", f"{tmp_path}/")
             .replace("/etc/caddy/", f"{tmp_path}/")
        for block in documented_blocks(project, "deploying.md", "install -m 644 -t /etc/nginx/", "upstream app",
                                  "install -m 644 -t /etc/caddy/", "import /etc/caddy/")]
    run("sh", "-ec", nginx_install + caddy_install)
    (tmp_path / "site.conf").write_text(nginx_site)
    (tmp_path / "nginx.conf").write_text(
        f"pid {tmp_path}/nginx.pid;\nerror_log {tmp_path}/error.log;\nevents {{}}\n"
        f"http {{\n    access_log off;\n    include {tmp_path}/site.conf;\n}}\n")
    run("nginx", "-t", "-q", "-c", f"{tmp_path}/nginx.conf")
    (tmp_path / "Caddyfile").write_text(caddy_site)
    run("caddy", "validate", "--adapter", "caddyfile", "--config", f"{tmp_path}/Caddyfile",
        env={"PATH": os.environ["PATH"], "HOME": str(tmp_path)})


def test_the_installed_fleet_tool_finds_its_modules_and_writes_nothing_beside_them(host_package):
    steps = run("/usr/sbin/gmi-fleet", "--dry-run", "restart",
                env={"PATH": os.environ["PATH"],
                     "GMI_INSTANCES": f"{EXAMPLES}/haproxy/gmi-instances.cfg"}).splitlines()
    assert [line.split(": ")[:2] for line in steps[:2] + steps[-1:]] == \
        [["gmi-60002", "check"], ["gmi-60005", "check"], ["gmi-60005", "up"]]
    assert [folder for folder, _, _ in os.walk("/usr/share/gmi-server")
            if folder.endswith("__pycache__")] == []


def test_the_installed_service_runs_confined_and_refuses_the_development_key(host_deployment):
    development = run("/usr/bin/gmi-token", "--user", "alice",
                      env={"AUTHSRV_KEYS": "development"}).strip()
    assert host_deployment.body(f"/login?userid=alice&gmi={development}") == \
        '{"is_valid":false,"reason":"ERROR_BAD_CHECKSUM"}'
    assert host_deployment.decision(development, "alice") == "401 ERROR_BAD_CHECKSUM"
    with open(f"/proc/{host_deployment.server.pid}/maps") as maps:
        assert not [line for line in maps if re.match(r"\S+ .w.x", line)], "writable code"


def test_purge_removes_every_file_and_the_key(deb, host_package):
    package.purge()
    try:
        assert not package.installed()
        left = [path[1:] for path in [*PACKAGE_FILES, "." + KEY_FILE] if os.path.exists(path[1:])]
        assert left == []
    finally:
        package.install(deb)
