"""One module per command: `add_arguments(parser)` and `run(args, parser)`."""
