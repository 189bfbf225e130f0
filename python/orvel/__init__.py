"""The `orvel` command line for orvel_core: validate packs, search memories,
and tokenize, hash, compare, assess and curate texts."""
