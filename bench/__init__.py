"""quillmat's benchmark against its peers: run it with `bash scripts/bench`."""
