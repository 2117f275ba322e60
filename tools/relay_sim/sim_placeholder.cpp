namespace relay_sim {}
