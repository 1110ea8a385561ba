"""`python -m zarel`: the `zarel` command."""

from zarel.cli import main

main()
