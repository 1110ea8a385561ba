"""`python -m zarel`: the `zarel` command."""

from zarel.cli import main

if __name__ == "__main__":
    main()
