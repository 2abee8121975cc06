"""Checks the CI workflow, which cannot run here: it must parse as YAML and keep its two jobs and their
essential steps."""
import sys

import yaml

path = sys.argv[1]
with open(path, encoding="utf-8") as f:
    workflow = yaml.safe_load(f)

problems = []
# YAML 1.1 reads the bare key `on` as the boolean true.
if "on" not in workflow and True not in workflow:
    problems.append("no trigger ('on')")
jobs = workflow.get("jobs") or {}
required = {
    "linux": ["./scripts/test.sh"],
    "macos": ["brew install", "cmake -S", '-DCMAKE_OSX_ARCHITECTURES="arm64;x86_64"',
              "--target karvo-host KarvoSafari", "scripts/check-mac-binaries.sh", "ctest", "plutil -lint",
              "codesign --verify"],
}
for name, commands in required.items():
    job = jobs.get(name)
    if not isinstance(job, dict):
        problems.append(f"no job '{name}'")
        continue
    if not job.get("runs-on"):
        problems.append(f"job '{name}' has no runs-on")
    steps = job.get("steps")
    if not isinstance(steps, list) or not steps:
        problems.append(f"job '{name}' has no steps")
        continue
    for i, step in enumerate(steps):
        if not isinstance(step, dict) or ("run" in step) == ("uses" in step):
            problems.append(f"job '{name}', step {i + 1}: needs exactly one of 'run' and 'uses'")
    script = "\n".join(str(step.get("run", "")) for step in steps if isinstance(step, dict))
    for command in commands:
        if command not in script:
            problems.append(f"job '{name}' does not run '{command}'")

for problem in problems:
    print(f"{path}: {problem}", file=sys.stderr)
sys.exit(1 if problems else 0)
