"""Run every ostina benchmark.  Usage: python benchmarks/run_all.py [--check]

Exit code is 0 unless --check is given and some ratio exceeded its target.
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = ["bench_audio.py", "bench_oscillator.py", "bench_mixer.py", "bench_sampler.py", "bench_sequencer.py"]


def main():
    rc = 0
    for script in SCRIPTS:
        print(f"== {script}", flush=True)
        cmd = [sys.executable, os.path.join(HERE, script), *sys.argv[1:]]
        rc |= subprocess.call(cmd)
    sys.exit(rc)


if __name__ == "__main__":
    main()
