// Record views of stored SOA records and the stateless section decoders and fast parser.
