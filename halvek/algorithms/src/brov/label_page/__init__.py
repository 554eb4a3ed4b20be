"""The labelling page behind ``brov label``: a local server (``server``), the
state it edits (``session``), the tree clustered again on every change
(``loaded_tree``) and the page's own files (``static/``)."""
