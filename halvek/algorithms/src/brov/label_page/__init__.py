"""The labelling page behind ``brov label``: a local server (``server``) that
checks every request (``checks``), the state it edits (``session``) with its
undo history (``history``) kept on disk through whole-file writes
(``store``), the two files Save writes (``saved_files``), the tree clustered
again on every change (``loaded_tree``), the command line's answer worked out
in the background (``refined``), the axes the points can be drawn on
(``axes``) and the page's own files (``static/``)."""
