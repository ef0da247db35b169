"""What sim/sim and sim/twin/twin share: the wire's facts, the board's files, the twin's
control channel, the relay on the fixture's line."""
