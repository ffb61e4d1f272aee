"""The replay tools' old checkout name: it only tells the new one."""
import sys

sys.exit("python3 -m replay[.sweep|.check|.db|.sample] is now brindle-replay (brindle-sweep, brindle-check, "
         "brindle-db, brindle-sample): in a checkout, put .venv/bin on PATH (see README.md)")
