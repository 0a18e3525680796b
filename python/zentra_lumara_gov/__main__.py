"""``python -m zentra_lumara_gov``: the command line (see zentra_lumara_gov.cli)."""

from zentra_lumara_gov.cli import main

if __name__ == "__main__":
    main(prog_name="python -m zentra_lumara_gov")
