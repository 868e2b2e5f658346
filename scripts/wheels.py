"""What scripts/wheel.sh decides, checks and packs, in the venv of its tools.

    python scripts/wheels.py plat TARGET
        the manylinux tag that pyproject.toml's cibuildwheel configuration
        repairs TARGET's wheels to (x86_64, i686, aarch64 or armv7l)
    python scripts/wheels.py verdict WHEEL PLAT
        auditwheel's tag for WHEEL (from its symbol versions) must be PLAT
    python scripts/wheels.py pack STAGE TAG OUTDIR
        a wheel of the install tree STAGE, with pyproject.toml's metadata and
        the tag TAG (e.g. cp314-cp314-linux_aarch64); prints its path
    python scripts/wheels.py sdist OUTDIR
        the sdist, which must leave out what is the repository's alone (the
        published benchmark figures, venvs and builds); prints its path
"""

from __future__ import annotations

import base64
import email.parser
import fnmatch
import hashlib
import json
import pathlib
import shlex
import shutil
import subprocess
import sys
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def plat(target: str) -> str:
    """The --plat of the repair command that cibuildwheel runs for TARGET."""
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
    command = config["linux"]["repair-wheel-command"]
    for override in config.get("overrides", []):
        selectors = override["select"]
        selectors = [selectors] if isinstance(selectors, str) else selectors
        if "repair-wheel-command" in override and any(
            fnmatch.fnmatch(f"cp312-manylinux_{target}", pattern) for pattern in selectors
        ):
            command = override["repair-wheel-command"]
    words = shlex.split(command.replace("$(uname -m)", target))
    if "--plat" not in words:
        raise SystemExit(f"no --plat in pyproject.toml's repair command for {target}: {command}")
    tag = words[words.index("--plat") + 1]
    if not tag.endswith(f"_{target}"):
        raise SystemExit(f"pyproject.toml repairs {target}'s wheels to {tag}")
    return tag


def verdict(wheel: str, wanted: str) -> int:
    shown = subprocess.run(
        [sys.executable, "-m", "auditwheel", "show", "--json", wheel], capture_output=True, text=True, check=True
    )
    allowed = json.loads(shown.stdout).get("overall_tag")
    print(f"auditwheel: the symbols allow {allowed or 'no manylinux tag'}; the configuration asks for {wanted}")
    if allowed != wanted:
        print(f"the manylinux tag in pyproject.toml should be {allowed or 'one these symbols allow'}", file=sys.stderr)
        return 1
    return 0


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def pack(stage: pathlib.Path, tag: str, outdir: pathlib.Path) -> pathlib.Path:
    # The metadata (and license) are pyproject.toml's, as a native build has them.
    from scikit_build_core.build import prepare_metadata_for_build_wheel

    for stale in stage.glob("*.dist-info"):
        shutil.rmtree(stale)
    dist_info = stage / prepare_metadata_for_build_wheel(str(stage))
    metadata = email.parser.Parser().parsestr((dist_info / "METADATA").read_text())
    name, version = metadata["Name"].replace("-", "_"), metadata["Version"]
    (dist_info / "WHEEL").write_text(
        f"Wheel-Version: 1.0\nGenerator: kestrine scripts/wheels.py\nRoot-Is-Purelib: false\nTag: {tag}\n"
    )
    record_name = f"{dist_info.name}/RECORD"
    files = sorted(p for p in stage.rglob("*") if p.is_file() and p.relative_to(stage).as_posix() != record_name)
    # The .dist-info comes last, as installers expect.
    files.sort(key=lambda p: p.relative_to(stage).parts[0] == dist_info.name)
    outdir.mkdir(parents=True, exist_ok=True)
    wheel = outdir / f"{name}-{version}-{tag}.whl"
    records = []
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for path in files:
            arcname, data = path.relative_to(stage).as_posix(), path.read_bytes()
            info = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (path.stat().st_mode & 0o777 | 0o100000) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
            records.append(record_line(arcname, data))
        records.append(f"{record_name},,")
        info = zipfile.ZipInfo(record_name, date_time=(1980, 1, 1, 0, 0, 0))
        info.external_attr, info.compress_type = 0o100644 << 16, zipfile.ZIP_DEFLATED
        archive.writestr(info, "\n".join(records) + "\n")
    return wheel


# What the sdist leaves out: pyproject.toml's sdist.exclude says so, and this checks it.
NOT_IN_SDIST = ("bench/results.json", "bench/results.png", ".venv/", "build/")


def sdist(outdir: pathlib.Path) -> pathlib.Path:
    import tarfile

    from scikit_build_core.build import build_sdist

    outdir.mkdir(parents=True, exist_ok=True)
    archive = outdir / build_sdist(str(outdir))
    with tarfile.open(archive) as tar:
        names = [name.partition("/")[2] for name in tar.getnames()]
    stray = [name for name in names if name.startswith(NOT_IN_SDIST)]
    if stray:
        raise SystemExit(f"{archive.name} holds what it should leave out: {', '.join(stray)}")
    print(f"{archive}: {len(names)} files, {archive.stat().st_size // 1024} KiB")
    return archive


def main(argv: list[str]) -> int:
    match argv:
        case ["plat", target]:
            print(plat(target))
        case ["verdict", wheel, wanted]:
            return verdict(wheel, wanted)
        case ["pack", stage, tag, outdir]:
            print(pack(pathlib.Path(stage), tag, pathlib.Path(outdir)))
        case ["sdist", outdir]:
            sdist(pathlib.Path(outdir))
        case _:
            print(__doc__, file=sys.stderr)
            return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
