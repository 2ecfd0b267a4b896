# Tests of the options area.
